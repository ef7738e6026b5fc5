#include "tools/certtools_asn1.h"

#include <openssl/asn1t.h>

namespace zmr {

ASN1_ITEM_TEMPLATE(SUBJECT_DIRECTORY_ATTRIBUTES) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, attributes,
                                                                         X509_ATTRIBUTE)
    ASN1_ITEM_TEMPLATE_END(SUBJECT_DIRECTORY_ATTRIBUTES) IMPLEMENT_ASN1_FUNCTIONS(SUBJECT_DIRECTORY_ATTRIBUTES)

        ASN1_SEQUENCE(GenericOctetStringExtension) = {
            ASN1_SIMPLE(GenericOctetStringExtension, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(GenericOctetStringExtension) IMPLEMENT_ASN1_FUNCTIONS(GenericOctetStringExtension)

}  // namespace zmr
