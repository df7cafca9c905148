// file_check: implementation pending.
#include "file_check.hpp"
