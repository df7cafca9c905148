// Umbrella header: the whole core library.
#pragma once

#include "arg_parser.hpp"
#include "arg_rules.hpp"
#include "canonical.hpp"
#include "cwd_policy.hpp"
#include "double_dash.hpp"
#include "env_policy.hpp"
#include "error.hpp"
#include "event_loop.hpp"
#include "file_check.hpp"
#include "output.hpp"
#include "path.hpp"
#include "policy.hpp"
#include "prepared.hpp"
#include "request.hpp"
#include "risky.hpp"
#include "rules.hpp"
