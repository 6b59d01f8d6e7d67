#pragma once
// The switch tables' value types.
