// policy: implementation pending.
#include "policy.hpp"
