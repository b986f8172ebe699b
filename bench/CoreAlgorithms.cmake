parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/CoreAlgorithms.cpp DEPS TessarinCore)
