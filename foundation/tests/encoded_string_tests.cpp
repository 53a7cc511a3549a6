#include "foundation/encoded_string.h"
#include <gtest/gtest.h>
