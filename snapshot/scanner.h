#pragma once
#include <string>

// 16 lower-case hexadecimal digits; an opaque tag for one session, not a secret.
std::string new_session_id();
