// The two ASN.1 types of the scheme's certificate extensions.
//
//   SUBJECT_DIRECTORY_ATTRIBUTES ::= SEQUENCE OF Attribute
//     value of subjectDirectoryAttributes (2.5.29.9): telephone number,
//     date of birth.
//   GenericOctetStringExtension ::= SEQUENCE { value OCTET STRING }
//     value of the bank-name (2.999.10.1.16.2.2) and originator
//     (2.999.10.1.16.2.1) extensions.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <memory>

#include "misc/ossl.h"

namespace zmr {

typedef STACK_OF(X509_ATTRIBUTE) SUBJECT_DIRECTORY_ATTRIBUTES;
DECLARE_ASN1_FUNCTIONS(SUBJECT_DIRECTORY_ATTRIBUTES)

struct GenericOctetStringExtension {
  ASN1_OCTET_STRING* value;
};
DECLARE_ASN1_FUNCTIONS(GenericOctetStringExtension)

using SubjectDirectoryAttributesPtr =
    std::unique_ptr<SUBJECT_DIRECTORY_ATTRIBUTES, OsslDeleter<SUBJECT_DIRECTORY_ATTRIBUTES_free>>;
using GenericOctetStringExtensionPtr =
    std::unique_ptr<GenericOctetStringExtension, OsslDeleter<GenericOctetStringExtension_free>>;

}  // namespace zmr
