parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/RecorderConversion.cpp DEPS TessarinPlatform)
