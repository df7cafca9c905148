// double_dash: implementation pending.
#include "double_dash.hpp"
