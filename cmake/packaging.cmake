# What a user gets: the program folder as a ZIP, and a per-user NSIS installer of the same files.
set(OSTREL_WEBVIEW2_BOOTSTRAPPER "" CACHE FILEPATH
    "Microsoft's Evergreen WebView2 Bootstrapper, which the installer runs when the runtime is missing (empty: not carried)")
set(OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL "https://developer.microsoft.com/microsoft-edge/webview2/"
    CACHE STRING "Offered by the installer when the WebView2 Runtime is still missing")

install(TARGETS OstrelBrowser RUNTIME DESTINATION .)
install(FILES ${WEBVIEW2_LOADER_DLL} ${CMAKE_SOURCE_DIR}/LICENSE.txt DESTINATION .)
install(FILES ${WEBVIEW2_LICENSE} DESTINATION . RENAME WebView2-LICENSE.txt)
install(FILES ${WEBVIEW2_NOTICE} DESTINATION . RENAME WebView2-NOTICE.txt)

set(CPACK_PACKAGE_NAME ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_VENDOR ${OSTREL_VENDOR})
set(CPACK_OSTREL_COPYRIGHT ${OSTREL_COPYRIGHT})
set(OSTREL_PACKAGE_FILE_NAME "OstrelBrowser-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_FILE_NAME ${OSTREL_PACKAGE_FILE_NAME})
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Ostrel Browser")
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_NSIS_MUI_ICON ${CMAKE_SOURCE_DIR}/resources/ostrel.ico)
set(CPACK_OSTREL_WEBVIEW2_BOOTSTRAPPER ${OSTREL_WEBVIEW2_BOOTSTRAPPER})
set(CPACK_OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL ${OSTREL_WEBVIEW2_DOWNLOAD_PAGE_URL})
# A signed release hands CPack its signed program (cpack -D CPACK_OSTREL_SIGNED_PROGRAM=...) and
# the script that signs the uninstaller and the installer (CPACK_OSTREL_SIGN_SCRIPT).
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/use-signed-program.cmake)
# CPack takes NSIS.template.in from the module path before its own.
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_SOURCE_DIR}/installer)
include(CPack)
