// Two-key triple DES (DES-EDE-CBC, zero IV, PKCS#7 padding) over base64
// texts, shared by symmetricencrypt and symmetricdecrypt.
#pragma once

#include <string>
#include <string_view>

#include "misc/secret.h"

namespace zmr {

int tripledes(int session, std::string_view key, std::string_view input, bool encrypt, SecretString& out);

}  // namespace zmr
