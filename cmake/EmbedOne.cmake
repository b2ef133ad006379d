# cmake -DIN=file -DOUT=file.cpp -DID=identifier -P EmbedOne.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}" "// Generated from ${IN}; do not edit.\nnamespace kvn {\nextern const unsigned char kvn_embed_${ID}[] = {\n${bytes}0x00};\nextern const unsigned long kvn_embed_${ID}_size = ${size};\n}\n")
