// prepared: implementation pending.
#include "prepared.hpp"
