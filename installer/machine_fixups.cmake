# What the per-machine package needs and wixl cannot write, added to the built
# package (before it is signed):
# - a protected access list, SYSTEM and Administrators only, on the key the
#   verifier is written into (MsiLockPermissionsEx, Windows Installer 5, in
#   SDDL, so no account name needs translating), so that no user can read it
#   even before the service's first start protects the key itself.
#   cmake -DMSIINFO=msiinfo -DMSIBUILD=msibuild -DMSI=x.msi -P machine_fixups.cmake
function(msi_query sql)
  execute_process(COMMAND ${MSIBUILD} ${MSI} -q "${sql}" RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild ${MSI} failed on ${sql}:\n${output}")
  endif()
endfunction()
function(msi_table name out)
  execute_process(COMMAND ${MSIINFO} export ${MSI} ${name} RESULT_VARIABLE result OUTPUT_VARIABLE table
                  ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msiinfo export ${MSI} ${name} failed:\n${error}")
  endif()
  set(${out} "${table}" PARENT_SCOPE)  # CRLF lines, as msiinfo writes them
endfunction()

msi_table(Registry registry)
if(NOT "${registry}" MATCHES "\n([^\t\r\n]+)\t2\tSOFTWARE\\\\Ventrix\\\\Setup\tPasswordVerifier\t")
  message(FATAL_ERROR "no Registry row for SOFTWARE\\Ventrix\\Setup in ${MSI}")
endif()
set(setup_row "${CMAKE_MATCH_1}")
msi_query("CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)")
msi_query("INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('SetupKeyMachineOnly', '${setup_row}', 'Registry', 'D:P(A;CI;GA;;;SY)(A;CI;GA;;;BA)')")
