# Signs each of FILES in place with Authenticode (osslsigncode, SHA-256) using the PKCS#12
# CERTIFICATE, whose password is in the environment variable HALYARD_SIGNING_PASSWORD, and verifies
# the signature (against CA_FILE when given). With TIMESTAMP_URL, an RFC 3161 time-stamp server
# countersigns each signature, so that it stays valid after the certificate expires. Any failure fails
# the build.
#   cmake -DFILES=a.exe;b.msi -DCERTIFICATE=cert.p12 [-DCA_FILE=ca.pem] [-DTIMESTAMP_URL=url] -P Sign.cmake
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
set(timestamp)
if(TIMESTAMP_URL)
    set(timestamp -ts ${TIMESTAMP_URL})
endif()
foreach(file ${FILES})
    execute_process(
        COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${CERTIFICATE} -pass "$ENV{HALYARD_SIGNING_PASSWORD}" -h sha256
                -n "Halyard Session Agent" ${timestamp} -in ${file} -out ${file}.signed
        RESULT_VARIABLE signed OUTPUT_QUIET)
    if(NOT signed EQUAL 0)
        message(FATAL_ERROR "Signing ${file} failed")
    endif()
    file(RENAME ${file}.signed ${file})
    set(authorities)
    if(CA_FILE)
        set(authorities -CAfile ${CA_FILE})
    endif()
    execute_process(COMMAND ${OSSLSIGNCODE} verify ${authorities} -in ${file} RESULT_VARIABLE verified OUTPUT_QUIET)
    if(NOT verified EQUAL 0)
        message(FATAL_ERROR "The signature of ${file} does not verify")
    endif()
    message(STATUS "Signed and verified ${file}")
endforeach()
