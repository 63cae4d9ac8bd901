# System libraries linked so that each loads on first use, not at process start: the agent's logon
# start (an empty command line) only starts a copy of itself, and should cost no more than a program
# importing kernel32 alone. halyard_delay_loaded(<target> <dll>) makes an interface target that stands
# for <dll> in target_link_libraries.
function(halyard_delay_loaded target dll)
    add_library(${target} INTERFACE)
    if(MSVC)
        target_link_libraries(${target} INTERFACE ${dll} delayimp)
        target_link_options(${target} INTERFACE /DELAYLOAD:${dll}.dll)
        return()
    endif()
    # GNU ld has no /DELAYLOAD: dlltool makes a delay-import library from the exports that the
    # toolchain's own import library lists. Linked ahead of the default libraries, it answers first.
    find_library(import_library_${dll} NAMES ${dll} REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${import_library_${dll}}
                    OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" entries "${symbols}")
    list(TRANSFORM entries REPLACE "^[0-9a-f]+ T " "")
    list(REMOVE_DUPLICATES entries)
    list(JOIN entries "\n" exports)
    set(folder ${CMAKE_BINARY_DIR}/delayload)
    file(CONFIGURE OUTPUT ${folder}/${dll}.def CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
    if(HALYARD_LLVM_DLLTOOL)
        # lld makes delay-load thunks itself, but only for imports of LLVM's short form, which GNU's import
        # libraries are not; its own dlltool makes one from the same exports. GNU's delay-import library
        # would have lld put the addresses it patches among read-only data.
        add_custom_command(OUTPUT ${folder}/lib${dll}_delay.a
            COMMAND ${HALYARD_LLVM_DLLTOOL} -m i386:x86-64 -d ${folder}/${dll}.def -l ${folder}/lib${dll}_delay.a
            DEPENDS ${folder}/${dll}.def
            VERBATIM)
        target_link_options(${target} INTERFACE -Wl,--delayload=${dll}.dll)
    else()
        add_custom_command(OUTPUT ${folder}/lib${dll}_delay.a
            COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${dll}.def --output-delaylib ${folder}/lib${dll}_delay.a
            DEPENDS ${folder}/${dll}.def
            VERBATIM)
    endif()
    add_custom_target(${target}_import DEPENDS ${folder}/lib${dll}_delay.a)
    add_dependencies(${target} ${target}_import)
    target_link_libraries(${target} INTERFACE ${folder}/lib${dll}_delay.a)
endfunction()
