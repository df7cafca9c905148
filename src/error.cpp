// error: implementation pending.
#include "error.hpp"
