# The Windows user-mode build (preset windows-user): the client library over the Win32 face of
# client/windows/ and gvspfilter.exe, which asks the installed driver through its control
# device and streams from a camera through it. Linked statically, so that the program needs only
# the DLLs every Windows has.
file(GLOB GVSP_CLIENT_SOURCES CONFIGURE_DEPENDS client/*.cpp client/windows/*.cpp)
add_library(gvsp_client STATIC ${GVSP_CLIENT_SOURCES})
target_include_directories(gvsp_client PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(gvsp_client PRIVATE gvsp_warnings)
target_link_libraries(gvsp_client PUBLIC ntdll)
add_library(gvsp::client ALIAS gvsp_client)

# CLI11 and nlohmann-json are header-only and installed for the host only: the cross compiler
# sees their two folders through a directory of links, and nothing else of /usr/include.
set(GVSP_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${GVSP_HOST_HEADERS})
foreach(folder CLI nlohmann)
    if(NOT IS_DIRECTORY /usr/include/${folder})
        message(FATAL_ERROR "/usr/include/${folder} is missing: install libcli11-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${folder} ${GVSP_HOST_HEADERS}/${folder} SYMBOLIC)
endforeach()

# zlib for mingw-w64 (libz-mingw-w64-dev), its static library.
find_library(GVSP_ZLIB NAMES libz.a REQUIRED)
# XmlLite ships with Windows, but mingw-w64 has no import library of it: one is made from the
# exports the program uses.
if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "the toolchain's dlltool was not found")
endif()
set(GVSP_XMLLITE ${PROJECT_BINARY_DIR}/libxmllite.a)
add_custom_command(OUTPUT ${GVSP_XMLLITE}
    COMMAND ${CMAKE_DLLTOOL} -d ${PROJECT_SOURCE_DIR}/cmake/xmllite.def -l ${GVSP_XMLLITE}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/xmllite.def
    COMMENT "Making the import library of xmllite.dll")
add_custom_target(gvsp_xmllite DEPENDS ${GVSP_XMLLITE})

# The command's parts both builds share, and Windows' own network, console and XML reader.
add_executable(gvspfilter tools/windows/gvspfilter.cpp tools/windows/network.cpp tools/windows/stop_signal.cpp
    tools/windows/xml_reader.cpp tools/camera_control.cpp tools/command_line.cpp tools/genicam.cpp tools/gvcp.cpp
    tools/image.cpp tools/live_run.cpp tools/report.cpp tools/stream_session.cpp tools/xml.cpp)
target_include_directories(gvspfilter SYSTEM PRIVATE ${GVSP_HOST_HEADERS})
add_dependencies(gvspfilter gvsp_xmllite)
target_link_libraries(gvspfilter PRIVATE gvsp_client gvsp_warnings ${GVSP_ZLIB} ${GVSP_XMLLITE} shlwapi iphlpapi ws2_32)
target_link_options(gvspfilter PRIVATE -static)
