# The constant-time check of the RSA private operation under valgrind (see
# pki/ctgrind/rsa_private_ct.cpp). It is built from the arithmetic sources with the
# valgrind client requests compiled in, apart from the library. Sanitizer builds (the asan
# preset, or flags such as the tsan preset's) skip it: valgrind cannot run their runtimes.
find_path(KVN_VALGRIND_INCLUDE valgrind/memcheck.h)
find_program(KVN_VALGRIND valgrind)
if(KVN_VALGRIND_INCLUDE AND NOT KVN_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_executable(rsa_private_ct
    ${CMAKE_CURRENT_SOURCE_DIR}/pki/ctgrind/rsa_private_ct.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/cpu.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/mont.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/mont52.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/mont52_ifma.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/mp.cpp
    ${CMAKE_SOURCE_DIR}/src/crypto/mp_reduce.cpp
    ${CMAKE_SOURCE_DIR}/src/pki/rsa_private.cpp
    ${CMAKE_SOURCE_DIR}/src/base/memory.cpp)
  target_include_directories(rsa_private_ct PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
                             ${KVN_VALGRIND_INCLUDE})
  target_compile_definitions(rsa_private_ct PRIVATE KVN_CTGRIND)
  if(KVN_VALGRIND)
    add_test(NAME rsa_private_constant_time
      COMMAND ${KVN_VALGRIND} --error-exitcode=1 --track-origins=yes -q $<TARGET_FILE:rsa_private_ct>)
    add_test(NAME rsa_private_constant_time_portable
      COMMAND ${KVN_VALGRIND} --error-exitcode=1 --track-origins=yes -q $<TARGET_FILE:rsa_private_ct>)
    set_tests_properties(rsa_private_constant_time_portable PROPERTIES ENVIRONMENT "KVN_PORTABLE_CRYPTO=1")
  endif()
endif()
# The RSA cross-checks once more on the portable Montgomery kernels.
add_test(NAME rsa_portable COMMAND test_pki --gtest_filter=Rsa.*)
set_tests_properties(rsa_portable PROPERTIES ENVIRONMENT "KVN_TEST=1;KVN_PORTABLE_CRYPTO=1")
