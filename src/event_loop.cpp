// event_loop: implementation pending.
#include "event_loop.hpp"
