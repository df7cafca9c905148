// arg_parser: implementation pending.
#include "arg_parser.hpp"
