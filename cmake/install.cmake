# Install layout of the board and its tarball. The board starts the terminal
# program through the fixed link home/root/bin/app_ZQHW, which points by
# absolute path at the versioned file app_ZQHW_<major>_<minor>_<patch>; the
# updater reads the installed version back from that link target and installs
# new versions the same way, so this tree must look exactly like one it wrote.

# `cmake --install <build>` without --prefix stages into the build tree, never
# into the host's /usr/local.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/stage CACHE PATH "Install (staging) directory" FORCE)
endif()

set(TCU_BIN_DIR home/root/bin)
set(TCU_APP_FILE app_ZQHW_${PROJECT_VERSION_MAJOR}_${PROJECT_VERSION_MINOR}_${PROJECT_VERSION_PATCH})

# Installed under its versioned name; install(TARGETS) cannot rename, and a
# rename after install would write the next install through the link.
install(PROGRAMS $<TARGET_FILE:app_ZQHW> DESTINATION ${TCU_BIN_DIR} RENAME ${TCU_APP_FILE})
install(CODE "
  set(_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TCU_BIN_DIR}\")
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" \"\${_bin}/${TCU_APP_FILE}\" RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"strip failed on \${_bin}/${TCU_APP_FILE}\")
    endif()
  endif()
  message(STATUS \"Linking: \${_bin}/app_ZQHW -> /${TCU_BIN_DIR}/${TCU_APP_FILE}\")
  file(CREATE_LINK /${TCU_BIN_DIR}/${TCU_APP_FILE} \"\${_bin}/app_ZQHW\" SYMBOLIC)
")
install(TARGETS zq_update RUNTIME DESTINATION ${TCU_BIN_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tcu_config.example.json DESTINATION home/root/etc
        RENAME tcu_config.json)
# The logger writes its files here and does not create the directory.
install(DIRECTORY DESTINATION home/root/log)
# Service units for boards with systemd (BusyBox boards: the inittab line in
# docs/target.md) and the updater's HMI options.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/app_ZQHW.service
              ${CMAKE_CURRENT_LIST_DIR}/systemd/zq_update.service
        DESTINATION etc/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/zq_update.env DESTINATION home/root/etc)
# Enabled as `systemctl enable` would, so unpacking the tarball is the whole install.
install(CODE "
  set(_wants \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc/systemd/system/multi-user.target.wants\")
  file(MAKE_DIRECTORY \"\${_wants}\")
  foreach(_unit app_ZQHW.service zq_update.service)
    file(CREATE_LINK /etc/systemd/system/\${_unit} \"\${_wants}/\${_unit}\" SYMBOLIC)
  endforeach()
")

# Tarball of the tree, to be unpacked at the board's root: tar -xzf ... -C /
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME tcu)
set(CPACK_PACKAGE_VENDOR "tcu")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Terminal control software of a two-gun DC charging dispenser")
set(CPACK_PACKAGE_FILE_NAME tcu-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
include(CPack)
