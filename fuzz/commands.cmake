# libFuzzer targets of the command reader, for the clang fuzz build. Each target carries the
# reader and the log itself, so it links nothing else and is instrumented throughout.
set(VELMORA_FUZZ_READER_SOURCES
  ${CMAKE_SOURCE_DIR}/writeback/json_reader.cpp
  ${CMAKE_SOURCE_DIR}/writeback/command_reader.cpp
  ${CMAKE_SOURCE_DIR}/host/log.cpp)
set(VELMORA_FUZZ_READER_FLAGS -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
add_executable(fuzz_commands ${CMAKE_SOURCE_DIR}/fuzz/fuzz_commands.cpp ${VELMORA_FUZZ_READER_SOURCES})
add_executable(fuzz_restore_payload ${CMAKE_SOURCE_DIR}/fuzz/fuzz_restore_payload.cpp ${VELMORA_FUZZ_READER_SOURCES})
target_include_directories(fuzz_commands PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(fuzz_restore_payload PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_features(fuzz_commands PRIVATE cxx_std_20)
target_compile_features(fuzz_restore_payload PRIVATE cxx_std_20)
target_compile_options(fuzz_commands PRIVATE ${VELMORA_FUZZ_READER_FLAGS})
target_compile_options(fuzz_restore_payload PRIVATE ${VELMORA_FUZZ_READER_FLAGS})
target_link_options(fuzz_commands PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_restore_payload PRIVATE -fsanitize=fuzzer,address,undefined)
