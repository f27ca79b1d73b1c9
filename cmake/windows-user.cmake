# The Windows user-mode build (preset windows-user): the client library over the Win32 face of
# client/windows/ and gvspfilter.exe, which asks the installed driver through its control
# device. Linked statically, so that the program needs only the DLLs every Windows has.
file(GLOB GVSP_CLIENT_SOURCES CONFIGURE_DEPENDS client/*.cpp client/windows/*.cpp)
add_library(gvsp_client STATIC ${GVSP_CLIENT_SOURCES})
target_include_directories(gvsp_client PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(gvsp_client PRIVATE gvsp_warnings)
target_link_libraries(gvsp_client PUBLIC ntdll)

add_executable(gvspfilter tools/windows/gvspfilter.cpp tools/command_line.cpp)
target_link_libraries(gvspfilter PRIVATE gvsp_client gvsp_warnings)
target_link_options(gvspfilter PRIVATE -static)
