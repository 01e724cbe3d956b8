# libFuzzer targets of the command reader, for the clang fuzz build. Each target carries the
# reader and the log itself, so it links nothing else and is instrumented throughout.
set(VELMORA_FUZZ_READER_SOURCES
  ${CMAKE_SOURCE_DIR}/writeback/json_reader.cpp
  ${CMAKE_SOURCE_DIR}/writeback/command_reader.cpp
  ${CMAKE_SOURCE_DIR}/host/log.cpp)
add_executable(fuzz_commands ${CMAKE_SOURCE_DIR}/fuzz/fuzz_commands.cpp ${VELMORA_FUZZ_READER_SOURCES})
add_executable(fuzz_restore_payload ${CMAKE_SOURCE_DIR}/fuzz/fuzz_restore_payload.cpp ${VELMORA_FUZZ_READER_SOURCES})
target_compile_options(fuzz_commands PRIVATE -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(fuzz_commands PRIVATE -fsanitize=fuzzer,address,undefined)
target_compile_options(fuzz_restore_payload PRIVATE -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(fuzz_restore_payload PRIVATE -fsanitize=fuzzer,address,undefined)
