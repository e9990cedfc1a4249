// Model codes that modules report about themselves, and their display names.
#pragma once

// Returns the static display name of a model code; "Unknown" for codes not in the family.
const char* qDefs_GetModelName(unsigned model);
