# cmake -DLIB=libkelvane.so -P check_writable_state.cmake
# The library's writable variables (.data, .bss and thread-local storage) are exactly the
# ones below, each safe to share between threads. A new one is either made immutable, made
# per thread, or added here with the reason it is safe.
set(allowed
  # Thread-local: the last-error text of each thread.
  "kvn::(anonymous namespace)::t_error"
  # Thread-local, set and restored within one export call: its document arguments are texts.
  "kvn::(anonymous namespace)::t_documentText"
  # Thread-local, set and restored within one export call: the document it read once.
  "kvn::(anonymous namespace)::t_held"
  # Function-local static, set once under the compiler's guard: whether /proc names open files.
  "kvn::(anonymous namespace)::CanNameUnnamedFiles()::can"
  "guard variable for kvn::(anonymous namespace)::CanNameUnnamedFiles()::can"
  # Function-local static, set once under the compiler's guard: the key that wraps key strings.
  "kvn::(anonymous namespace)::SessionKey()::key"
  "guard variable for kvn::(anonymous namespace)::SessionKey()::key"
  # Function-local static, set once under the compiler's guard: the processor's features.
  "kvn::(anonymous namespace)::Get()::features"
  "guard variable for kvn::(anonymous namespace)::Get()::features"
  # Atomics: the live-block count and the allocation-failure hook of the tests.
  "kvn::(anonymous namespace)::g_live_blocks"
  "kvn::(anonymous namespace)::g_fail_countdown"
  # Atomics set only by tests: the trace sink and the random sources.
  "kvn::(anonymous namespace)::g_sink"
  "kvn::(anonymous namespace)::g_sources"
  # Atomic set only by tests: the override of the wide-multiply kernels.
  "kvn::(anonymous namespace)::mulxAdxOverride"
  # The kept catalog folder, read and written only under its mutex; the set it holds is
  # immutable (src/cfdi/catalogs.cpp says why sharing it is sound).
  "kvn::(anonymous namespace)::g_kept"
  "kvn::(anonymous namespace)::g_keptMutex"
  # Atomic set only by tests: the switch to the portable code.
  "kvn::(anonymous namespace)::portableForTesting"
  # Function-local static, set once under the compiler's guard: whether the processor has IFMA.
  "kvn::cpu_HasAvx512Ifma()::ifma"
  "guard variable for kvn::cpu_HasAvx512Ifma()::ifma"
  # Atomic set only by tests: the choice of the radix-2^52 kernels.
  "kvn::(anonymous namespace)::radix52Mode"
  # Function-local static made once under the compiler's guard; every use holds its mutex:
  # the table of open signing sessions.
  "kvn::(anonymous namespace)::Sessions()::table"
  "guard variable for kvn::(anonymous namespace)::Sessions()::table"
  # Function-local statics, set once under the compiler's guard: the embedded DTDs compiled.
  "kvn::CompiledEmbeddedDtd(int)::dtd"
  "guard variable for kvn::CompiledEmbeddedDtd(int)::dtd")
execute_process(COMMAND nm -C --format=sysv --defined-only ${LIB} OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(found "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "kvn::" OR NOT line MATCHES "\\|[.](data|bss|tdata|tbss)[ ]*$")
    continue()
  endif()
  string(REGEX REPLACE "[ ]*\\|.*" "" name "${line}")
  list(APPEND found "${name}")
endforeach()
set(unexpected "")
foreach(name IN LISTS found)
  list(FIND allowed "${name}" at)
  if(at EQUAL -1)
    list(APPEND unexpected "${name}")
  endif()
endforeach()
if(unexpected)
  string(REPLACE ";" "\n  " text "${unexpected}")
  message(FATAL_ERROR "writable variables that threads would share:\n  ${text}")
endif()
list(LENGTH found n)
message(STATUS "${n} writable variables, all per thread, set once or atomic")
