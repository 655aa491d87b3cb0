#include "vornix/kernels.hpp"
