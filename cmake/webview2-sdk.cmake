# The WebView2 SDK (header and loader), restored from NuGet with the .NET SDK at configure time.
# The one place its version is pinned: the newest release served to us, whose loader carries the
# latest runtime-discovery fixes; the program calls only interfaces of the first release, so it
# asks nothing more of the installed runtime.
set(OSTREL_WEBVIEW2_VERSION 1.0.4314.35)

set(restore_dir ${CMAKE_BINARY_DIR}/_deps/webview2-restore)
set(packages_dir ${CMAKE_BINARY_DIR}/_deps/nuget)
set(WEBVIEW2_SDK_DIR ${packages_dir}/microsoft.web.webview2/${OSTREL_WEBVIEW2_VERSION})

if(NOT EXISTS ${WEBVIEW2_SDK_DIR}/build/native/include/WebView2.h)
  find_program(OSTREL_DOTNET dotnet REQUIRED)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/webview2-restore.csproj.in
                 ${restore_dir}/webview2-restore.csproj @ONLY)
  message(STATUS "Restoring the WebView2 SDK ${OSTREL_WEBVIEW2_VERSION}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
            DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
            ${OSTREL_DOTNET} restore ${restore_dir}/webview2-restore.csproj
            --packages ${packages_dir}
    RESULT_VARIABLE restore_result)
  if(NOT restore_result EQUAL 0 OR NOT EXISTS ${WEBVIEW2_SDK_DIR}/build/native/include/WebView2.h)
    message(FATAL_ERROR "The WebView2 SDK ${OSTREL_WEBVIEW2_VERSION} could not be restored")
  endif()
endif()

set(WEBVIEW2_INCLUDE_DIR ${WEBVIEW2_SDK_DIR}/build/native/include)
set(WEBVIEW2_LOADER_DLL ${WEBVIEW2_SDK_DIR}/build/native/x64/WebView2Loader.dll)
set(WEBVIEW2_LICENSE ${WEBVIEW2_SDK_DIR}/LICENSE.txt)
set(WEBVIEW2_NOTICE ${WEBVIEW2_SDK_DIR}/NOTICE.txt)

# The loader, imported when the program loads; GNU ld links against the DLL itself.
add_library(WebView2Loader SHARED IMPORTED GLOBAL)
set_target_properties(WebView2Loader PROPERTIES
  IMPORTED_LOCATION ${WEBVIEW2_LOADER_DLL}
  IMPORTED_IMPLIB ${WEBVIEW2_LOADER_DLL}
  INTERFACE_INCLUDE_DIRECTORIES ${WEBVIEW2_INCLUDE_DIR}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${WEBVIEW2_INCLUDE_DIR})
