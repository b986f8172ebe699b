parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/DecodingAlgorithms.cpp DEPS ZodozorEro)
