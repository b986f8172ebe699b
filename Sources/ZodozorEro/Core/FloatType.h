#pragma once

#include "System/ML/Half.h"

namespace ZodozorEro {

// The scalar type of model values (logits, temperatures): half precision, so a temperature schedule rounds
// as the models' own arithmetic does (0.2 is held as 0.199951171875).
using FloatType = System::ML::Half;

} // namespace ZodozorEro
