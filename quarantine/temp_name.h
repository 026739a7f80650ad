// The hidden temporary names under which a file is written before it gets its real name in the
// quarantine folder: ".<name>.~xxxxxx". A copy into the folder from another file system, and a
// replacement of ".store", are made under such a name; one that a killed process left behind is
// removed by the folder's sweeps once it is old enough that no live writer still holds it.
#pragma once

// Whether szName has the shape ".<name>.~xxxxxx": a dot, a name of at least one character, ".~"
// and six lower-case letters or digits.
bool IsHiddenTempName(const char* szName);
