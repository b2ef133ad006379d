# The crypto suite once more with the portable code forced, so that the vectors and the
# streaming tests cover both the processor's instructions and the fallback.
add_test(NAME crypto_portable COMMAND test_crypto)
set_tests_properties(crypto_portable PROPERTIES ENVIRONMENT "KVN_TEST=1;KVN_PORTABLE_CRYPTO=1")
