// arg_rules: implementation pending.
#include "arg_rules.hpp"
