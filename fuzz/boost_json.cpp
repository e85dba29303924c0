// Boost.JSON built from source for the fuzz targets, so that the fuzzer is guided by coverage
// inside the parser as well as in our code.
#include <boost/json/src.hpp>
