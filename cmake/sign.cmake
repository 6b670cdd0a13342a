# Signs FILE in place with a SHA-256 Authenticode signature by osslsigncode:
#   cmake -DTOOL=osslsigncode -DPFX=cert.pfx -DPASSWORD_FILE=pass.txt -DFILE=x.exe -P sign.cmake
file(REMOVE ${FILE}.signed)
execute_process(
  COMMAND ${TOOL} sign -pkcs12 ${PFX} -readpass ${PASSWORD_FILE} -h sha256 -n Ventrix
          -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
