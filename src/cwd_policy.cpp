// cwd_policy: implementation pending.
#include "cwd_policy.hpp"
