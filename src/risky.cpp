// risky: implementation pending.
#include "risky.hpp"
