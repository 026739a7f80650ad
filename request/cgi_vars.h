// Look-up in the request-variable array that the CGI support library returns.
#pragma once

// The value of the first variable named exactly szName (case-sensitive), or null.
const char* getCgiVar(char** ppVars, const char* szName);
