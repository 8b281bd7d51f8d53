# Native build: the Windows executables of the cross build under Wine, end to end.
set(BRIVANTA_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows" CACHE PATH
    "The Windows cross build whose executables the Wine end-to-end tests run")
set(WINE_E2E_SCENARIOS tx_full rx_full_com3 unit_not_ready setup_failed web_package)
foreach(scenario ${WINE_E2E_SCENARIOS})
    add_test(NAME wine_e2e_${scenario}
             COMMAND Python3::Interpreter "${CMAKE_CURRENT_SOURCE_DIR}/run_wine_e2e.py"
                     --windows-dir "${BRIVANTA_WINDOWS_BUILD_DIR}/src"
                     --simulator $<TARGET_FILE:unit-simulator>
                     --native-web-package $<TARGET_FILE:BrivantaFwWebPackage>
                     --firmware-dir "${BRIVANTA_FIRMWARE_DIR}" ${scenario})
    # 77: the Windows executables are not built (or Wine is missing).
    set_tests_properties(wine_e2e_${scenario} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
                                                        LABELS wine)
endforeach()
# A whole update waits 138 s for the unit's reboot.
set_tests_properties(wine_e2e_tx_full wine_e2e_rx_full_com3 PROPERTIES LABELS "wine;long")
