# The Windows kernel build (preset windows-kernel): gvspfilter.sys from the core and the
# Windows binding of platform/, linked with mingw-w64 against ndis.sys, ntoskrnl.exe and
# hal.dll, then its PE image checked and its INF checked against the driver's constants.
enable_language(C ASM RC)

# The message table compiler runs on the build machine, not the target.
find_program(GVSP_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(GVSP_GENERATED ${PROJECT_BINARY_DIR}/generated)
set(GVSP_MESSAGE_COMPILER ${PROJECT_BINARY_DIR}/message_compiler)
add_custom_command(
    OUTPUT ${GVSP_MESSAGE_COMPILER}
    COMMAND ${GVSP_HOST_CXX} -std=c++20 -O1 ${PROJECT_SOURCE_DIR}/cmake/message_compiler.cpp -o ${GVSP_MESSAGE_COMPILER}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/message_compiler.cpp
    COMMENT "Building the message table compiler for the build machine")
add_custom_command(
    OUTPUT ${GVSP_GENERATED}/base/gvspfilter_msg.h ${GVSP_GENERATED}/gvspfilter_msg.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${GVSP_GENERATED}/base ${GVSP_GENERATED}/host
    COMMAND ${GVSP_MESSAGE_COMPILER} ${PROJECT_SOURCE_DIR}/base/gvspfilter.mc
            ${GVSP_GENERATED}/base/gvspfilter_msg.h ${GVSP_GENERATED}/host/message_table.inc
            ${GVSP_GENERATED}/gvspfilter_msg.bin
    DEPENDS ${GVSP_MESSAGE_COMPILER} ${PROJECT_SOURCE_DIR}/base/gvspfilter.mc
    COMMENT "Compiling the message table")
add_custom_target(gvsp_messages DEPENDS ${GVSP_GENERATED}/base/gvspfilter_msg.h ${GVSP_GENERATED}/gvspfilter_msg.bin)
# The image's MESSAGETABLE resource, from which the event viewer renders the driver's entries.
file(WRITE ${GVSP_GENERATED}/gvspfilter_msg.rc
    "LANGUAGE 0x9, 0x1\n1 MESSAGETABLE \"${GVSP_GENERATED}/gvspfilter_msg.bin\"\n")
set_source_files_properties(${GVSP_GENERATED}/gvspfilter_msg.rc PROPERTIES
    OBJECT_DEPENDS ${GVSP_GENERATED}/gvspfilter_msg.bin)

# Kernel code generation: no exceptions, RTTI, thread-safe statics or stack protector (none of
# them has a runtime in the kernel); no stack probes (the import library offers no __chkstk),
# so no frame may reach the next page of the stack; unwind tables stay, the kernel walks them.
set(GVSP_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-stack-check -mno-stack-arg-probe -Wframe-larger-than=4096 -fno-common)

# The core: every source of its layers' folders, as scripts/check-dependencies.py lists them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
execute_process(COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-dependencies.py --layers
    OUTPUT_VARIABLE GVSP_LAYERS OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/check-dependencies.py)
list(TRANSFORM GVSP_LAYERS APPEND /*.cpp)
file(GLOB GVSP_CORE_SOURCES CONFIGURE_DEPENDS ${GVSP_LAYERS})
add_executable(gvspfilter ${GVSP_CORE_SOURCES}
    platform/windows/probe_and_lock.S
    platform/windows/ddk_crosscheck.c
    ${GVSP_GENERATED}/gvspfilter_msg.rc)
add_dependencies(gvspfilter gvsp_messages)
set_target_properties(gvspfilter PROPERTIES SUFFIX .sys)
target_compile_definitions(gvspfilter PRIVATE GVSP_WINDOWS_KERNEL)
target_include_directories(gvspfilter PRIVATE ${PROJECT_SOURCE_DIR} ${GVSP_GENERATED})
target_compile_options(gvspfilter PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${GVSP_KERNEL_FLAGS}>)
target_link_libraries(gvspfilter PRIVATE gvsp_warnings)
# mingw-w64's ddk headers are for the layout cross-check only, never for the driver's code.
set_source_files_properties(platform/windows/ddk_crosscheck.c PROPERTIES
    COMPILE_OPTIONS "-isystem;/usr/share/mingw-w64/include/ddk")
# A native image with DriverEntry as its entry point, no C or C++ runtime, importing from the
# three kernel modules only; no symbol of the driver exported. Integrity checks are forced: the
# kernel registers a process-exit routine only for such an image.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_options(gvspfilter PRIVATE -nostdlib -nostartfiles -shared
    -Wl,--subsystem,native -Wl,-e,DriverEntry -Wl,--exclude-all-symbols
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--forceinteg
    -Wl,--major-os-version,6,--minor-os-version,1,--major-subsystem-version,6,--minor-subsystem-version,1)
target_link_libraries(gvspfilter PRIVATE ntoskrnl hal ndis)
