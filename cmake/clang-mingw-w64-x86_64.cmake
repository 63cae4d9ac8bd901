# Cross-compiles for 64-bit Windows with Debian's clang and lld, on the libraries of mingw-w64's posix
# thread model (the same headers, C++ library and runtime as the GCC build): the second compiler, which
# finds what GCC tolerates. Only this file names it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_MC_COMPILER ${triple}-windmc)

# Clang looks for mingw-w64's GCC in folders named by a bare version; Debian names them "12-posix". The
# folder is asked of that GCC itself, and its C++ library named outright.
execute_process(COMMAND ${triple}-g++-posix -print-libgcc-file-name OUTPUT_VARIABLE libgcc
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_folder ${libgcc} DIRECTORY)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${gcc_folder}/include/c++ ${gcc_folder}/include/c++/${triple} ${gcc_folder}/include/c++/backward)
# GCC's libraries keep thread-local variables the emulated way (std::call_once's among them).
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -nostdinc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_folder} -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_folder} -Wno-unused-command-line-argument")
# The posix thread model's C++ library calls winpthreads, which GCC's driver adds by itself.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_STRIP   ${triple}-strip)
set(CMAKE_OBJCOPY ${triple}-objcopy)
set(CMAKE_NM      ${triple}-nm)
set(CMAKE_DLLTOOL ${triple}-dlltool)
find_program(HALYARD_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
