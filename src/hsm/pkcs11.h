// The standard PKCS#11 (Cryptoki) declarations, as Debian's p11-kit ships
// them. Only the types, constants and function-pointer types are used: the
// driver itself is always reached through dlopen and dlsym.
#pragma once

#include <p11-kit-1/p11-kit/pkcs11.h>
