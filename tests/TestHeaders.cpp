// Compiles the tests' shared precompiled headers (see CMakeLists.txt).
