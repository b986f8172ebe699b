parlindo_benchmark(${CMAKE_CURRENT_LIST_DIR}/ModelRuntime.cpp DEPS System::ML TinyModelGenerator)
