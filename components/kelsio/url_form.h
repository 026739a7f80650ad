// application/x-www-form-urlencoded text: name=value pairs joined by '&', with '+' for a blank
// and %XX for any byte.
#pragma once

#include "body_source.h"
#include "var_table.h"

// Adds every pair of the text to the table. False on a bad escape, a NUL byte (escaped or not),
// a text over the length limit, too many variables or a body that ended early.
bool KelsioParseUrlEncoded(CBodySource& source, CVarTable& table);
