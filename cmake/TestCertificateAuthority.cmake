# A development build trusts a certificate authority made for tests in its build folder, so the
# end-to-end tests can give a third-party RDP server (xrdp, TLS without NLA) a certificate that
# verifies the way the provider's own servers' certificates do. Its key lies in the build folder:
# never for a build that is shipped.
set(ZENTRA_TEST_CA_DIR ${CMAKE_BINARY_DIR}/test-ca)
execute_process(
  COMMAND ${CMAKE_SOURCE_DIR}/tests/support/test-ca init ${ZENTRA_TEST_CA_DIR}
  RESULT_VARIABLE zentra_test_ca_result)
if(NOT zentra_test_ca_result EQUAL 0)
  message(FATAL_ERROR "could not make the test certificate authority (is openssl installed?)")
endif()
if(ZENTRA_PROVIDER_CA STREQUAL "")
  set(ZENTRA_PROVIDER_CA ${ZENTRA_TEST_CA_DIR}/ca.pem)
endif()
message(STATUS "Provider certificate authority: ${ZENTRA_PROVIDER_CA}")
