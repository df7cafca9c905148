// path: implementation pending.
#include "path.hpp"
