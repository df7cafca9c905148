// canonical: implementation pending.
#include "canonical.hpp"
