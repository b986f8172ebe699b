parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/Tokenizer.cpp DEPS VuzadoDudi WhisperTokenizerWriter)
