// env_policy: implementation pending.
#include "env_policy.hpp"
