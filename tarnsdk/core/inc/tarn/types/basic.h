// Fixed-width integers and sizes used across the SDK.
#pragma once

#include <cstddef>
#include <cstdint>
