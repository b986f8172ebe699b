parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/WhisperDecoder.cpp DEPS System::ML TinyModelGenerator)
