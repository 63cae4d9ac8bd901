# The agent's Event Log messages: agent/HalyardEvents.mc compiled by the message compiler (windmc from
# mingw-w64, mc.exe from the Windows SDK) into the build's generated folder: HalyardEvents.h with the
# event ids, for the code that reports, and HalyardEvents.rc with its binary table, which
# agent/Halyard.rc includes. Nothing is written beside the sources.
if(NOT CMAKE_MC_COMPILER)
    find_program(CMAKE_MC_COMPILER NAMES mc windmc REQUIRED)
endif()
set(HALYARD_GENERATED ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
    OUTPUT ${HALYARD_GENERATED}/HalyardEvents.h ${HALYARD_GENERATED}/HalyardEvents.rc ${HALYARD_GENERATED}/MSG00409.bin
    COMMAND ${CMAKE_MC_COMPILER} -h ${HALYARD_GENERATED} -r ${HALYARD_GENERATED} ${PROJECT_SOURCE_DIR}/agent/HalyardEvents.mc
    DEPENDS ${PROJECT_SOURCE_DIR}/agent/HalyardEvents.mc
    VERBATIM)
add_custom_target(halyard_events DEPENDS ${HALYARD_GENERATED}/HalyardEvents.h ${HALYARD_GENERATED}/HalyardEvents.rc)
set_source_files_properties(${PROJECT_SOURCE_DIR}/agent/Halyard.rc PROPERTIES
    OBJECT_DEPENDS "${HALYARD_GENERATED}/HalyardEvents.rc;${HALYARD_GENERATED}/MSG00409.bin")
