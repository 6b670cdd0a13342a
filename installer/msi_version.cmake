# The package's product version: the project's major.minor.patch, with a
# patch of 0 when the project names none. Windows Installer compares the
# first three fields, so the patch number must be there for an upgrade.
function(ventrix_msi_version out version)
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)(\\.([0-9]+))?" _ "${version}")
  set(patch "${CMAKE_MATCH_4}")
  if(patch STREQUAL "")
    set(patch 0)
  endif()
  set(${out} "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${patch}" PARENT_SCOPE)
endfunction()
