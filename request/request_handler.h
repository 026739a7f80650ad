// The CGI entry of the program: one request, one answer token, exit status 0.
#pragma once

int HandleRequest();
