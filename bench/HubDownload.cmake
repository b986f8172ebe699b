find_package(CURL REQUIRED)
parlindo_benchmark(${CMAKE_CURRENT_SOURCE_DIR}/HubDownload.cpp DEPS VuzadoDudi HubTesting CURL::libcurl)
