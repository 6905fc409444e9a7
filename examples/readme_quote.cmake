# Fails unless README.md quotes examples/readme_example.cpp verbatim as its
# one C++ code block, so that the README's code is code that compiles and runs.
# Usage: cmake -DREADME=<README.md> -DEXAMPLE=<readme_example.cpp> -P readme_quote.cmake
file(READ "${README}" readme)
file(READ "${EXAMPLE}" example)
string(REGEX MATCHALL "```cpp" blocks "${readme}")
list(LENGTH blocks count)
string(FIND "${readme}" "```cpp\n${example}```\n" at)
if(NOT count EQUAL 1 OR at EQUAL -1)
  message(FATAL_ERROR "${README} must hold exactly one ```cpp block, a verbatim copy of ${EXAMPLE}")
endif()
