parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/TokenizerFamilies.cpp DEPS VuzadoDudi)
