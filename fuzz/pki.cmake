# PKI readers: asn_Read (through pki_ReadObject), key_ReadEncrypted with a fixed password,
# the X.509 readers, base64/hex/PEM/character sets (pki_pem) and the PKCS#1 signature block
# decoder (pki_sigblock). Crashing or slow inputs go to fuzz/regressions/pki_<name>/, which
# tests/pki replays.
# Run: build/fuzz/fuzz/pki_asn1 -max_total_time=600 -max_len=4096 <corpus-dir>
foreach(target pki_asn1 pki_keyfile pki_x509 pki_pem pki_sigblock)
  kvn_fuzz_target(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
endforeach()
