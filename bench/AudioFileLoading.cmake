parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/AudioFileLoading.cpp DEPS ZodozorEro)
