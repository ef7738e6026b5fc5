#include "support/sdotrees.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "support/verifiers.h"

namespace zmrtest {

using namespace zmr;

SdoElementTexts shortTexts() { return {"P", "I", "M", "DM", "DV", "S", "O"}; }

SdoElementTexts realisticTexts(const std::string& pkcs7, const std::string& ocsp) {
  return {"SEID-SDO-Basic-V", "urn:oid:2.999.10.1.16.4.1", "text/plain", "SHA-256",
          "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", pkcs7, ocsp};
}

std::unique_ptr<cmssignatureelement> sdoElement(const SdoElementTexts& t) {
  auto e = std::make_unique<cmssignatureelement>();
  e->sdoprofile = t.profile;
  e->signaturepolicyidentifier = std::make_unique<signaturepolicyidentifier>();
  e->signaturepolicyidentifier->signaturepolicyid = std::make_unique<signaturepolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid = std::make_unique<sigpolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid->identifier = t.identifier;
  e->signersdocumentformat = std::make_unique<signersdocumentformat>();
  e->signersdocumentformat->mimetype = t.mimetype;
  e->hasheddata = std::make_unique<hasheddata>();
  e->hasheddata->digestmethod = t.digestmethod;
  e->hasheddata->digestvalue = t.digestvalue;
  e->cmssignature = t.cmssignature;
  e->usercertificateandrevocationdata = std::make_unique<usercertificateandrevocationdata>();
  auto& r = e->usercertificateandrevocationdata;
  r->revocationvalues = std::make_unique<revocationvalues>();
  r->revocationvalues->ocspvalues = std::make_unique<ocspvalues>();
  r->revocationvalues->ocspvalues->encapsulatedocspvalue = t.ocsp;
  return e;
}

std::unique_ptr<seidsdocell> sdoTree(const std::vector<SdoElementTexts>& elements,
                                     const std::optional<SdoElementTexts>& seal, const sdotext& version) {
  auto cell = std::make_unique<seidsdocell>();
  cell->first = std::make_unique<zmr::seidsdo>();
  zmr::seidsdo& sdo = *cell->first;
  sdo.version = version;
  sdo.datapart = std::make_unique<seidsdodatapart>();
  std::unique_ptr<signatureelement>* tail = &sdo.datapart->first;
  for (const SdoElementTexts& t : elements) {
    *tail = std::make_unique<signatureelement>();
    (*tail)->element = sdoElement(t);
    tail = &(*tail)->next;
  }
  if (seal) {
    sdo.seal = std::make_unique<seidsdoseal>();
    sdo.seal->sdosignature = std::make_unique<sdosignature>();
    sdo.seal->sdosignature->element = sdoElement(*seal);
  }
  return cell;
}

void addPair(seidsdocell& tree, const sdotext& name, const sdotext& value, const sdotext& description) {
  zmr::seidsdo& sdo = *tree.first;
  if (!sdo.metadata) sdo.metadata = std::make_unique<metadata>();
  std::unique_ptr<valuepair>* tail = &sdo.metadata->first;
  while (*tail) tail = &(*tail)->next;
  *tail = std::make_unique<valuepair>();
  (*tail)->name = name;
  (*tail)->value = value;
  (*tail)->description = description;
}

namespace {

struct Dumper {
  bool emptyAsAbsent;
  std::string out;

  void text(const char* label, const sdotext& t, bool readsBackEmpty = false) {
    out += label;
    out += (!t || (emptyAsAbsent && !readsBackEmpty && t->empty())) ? std::string(" (absent)") : " \"" + *t + "\"";
    out += '\n';
  }
  void missing(const char* label) { out += std::string(label) + " -\n"; }

  void element(const cmssignatureelement* e) {
    if (e == nullptr) return missing("  element");
    text("  profile", e->sdoprofile);
    if (const sdotext* t = identifierof(*e)) text("  identifier", *t); else missing("  policy chain");
    if (const sdotext* t = mimetypeof(*e)) text("  mimetype", *t); else missing("  format");
    if (e->hasheddata) {
      text("  digestmethod", e->hasheddata->digestmethod);
      text("  digestvalue", e->hasheddata->digestvalue);
    } else {
      missing("  hasheddata");
    }
    text("  cmssignature", e->cmssignature);
    if (const sdotext* t = ocspvalueof(*e)) text("  ocsp", *t); else missing("  revocation chain");
  }

  void sdo(const zmr::seidsdo& s) {
    out += "SDO flavour " + std::to_string(s.flavour) + "\n";
    text(" version", s.version);
    if (!s.datapart) missing(" datapart");
    for (const signatureelement* n = s.datapart ? s.datapart->first.get() : nullptr; n; n = n->next.get()) {
      out += " element\n";
      element(n->element.get());
    }
    if (s.seal) {
      out += " seal\n";
      element(s.seal->sdosignature ? s.seal->sdosignature->element.get() : nullptr);
    }
    if (s.metadata) {
      out += " metadata\n";
      for (const valuepair* p = s.metadata->first.get(); p; p = p->next.get()) {
        text("  name", p->name, true);
        text("  value", p->value, true);
        text("  description", p->description, true);
      }
    }
    if (s.signedobject) text(" signedobject", s.signedobject->signersdocument);
  }
};

}  // namespace

std::string dumpTree(const seidsdocell& tree, bool emptyAsAbsent) {
  Dumper d{emptyAsAbsent, {}};
  for (const zmr::seidsdo* s = tree.first.get(); s; s = s->next.get()) d.sdo(*s);
  return d.out;
}

std::string writeXml(const seidsdocell& tree, int flavour) {
  std::string xml;
  int rc = zmrseidsdo2xml(0, tree, xml, flavour);
  if (rc != 0) throw std::runtime_error("zmrseidsdo2xml failed with " + std::to_string(rc));
  return xml;
}

SdoElementTexts signedElementTexts(const Pkcs7Spec& spec, const std::string& ocspBase64, const std::string& mimetype) {
  const EVP_MD* md = spec.signers.empty() || spec.signers[0].digest == nullptr ? EVP_sha256() : spec.signers[0].digest;
  bool sha1 = EVP_MD_get_type(md) == NID_sha1;
  const EVP_MD* named = sha1 ? EVP_sha1() : EVP_sha256();
  return {"SEID-SDO-Basic-V",
          "urn:oid:2.999.10.1.16.4.1",
          mimetype,
          sha1 ? "SHA-1" : "SHA-256",
          toBase64(digestOf(named, spec.content)),
          makePkcs7Base64(spec),
          ocspBase64};
}

std::string goodOcsp(const TestPki& pki, const X509* cert) {
  return toBase64(makeOcspBasicDer(ocspFor(pki.responder, cert, pki.ca.get())));
}

void sealSdo(seidsdocell& tree, const TestCert& sealer, const std::string& ocspBase64) {
  zmr::seidsdo& sdo = *tree.first;
  std::string signable;
  int rc = seidsdodataparttosignable(0, *sdo.datapart, signable, sdo.flavour);
  if (rc != 0) throw std::runtime_error("seidsdodataparttosignable failed with " + std::to_string(rc));
  sdo.seal = std::make_unique<seidsdoseal>();
  sdo.seal->sdosignature = std::make_unique<sdosignature>();
  sdo.seal->sdosignature->element = sdoElement(signedElementTexts(pkcs7For(sealer, signable), ocspBase64));
}

void keepDocument(seidsdocell& tree, const std::string& documentBase64) {
  tree.first->signedobject = std::make_unique<signedobject>();
  tree.first->signedobject->signersdocument = documentBase64;
}

std::unique_ptr<seidsdocell> classicSdo(const TestPki& pki, const std::string& document, bool keep) {
  auto tree = sdoTree({signedElementTexts(pkcs7For(pki.endUser, document), goodOcsp(pki, pki.endUser.get())),
                       signedElementTexts(pkcs7For(pki.merchantSign, document),
                                          goodOcsp(pki, pki.merchantSign.get()))});
  addPair(*tree, "MerchantDesc", "The contract", std::nullopt);
  sealSdo(*tree, pki.merchantSign, goodOcsp(pki, pki.merchantSign.get()));
  if (keep) keepDocument(*tree, toBase64(document));
  return tree;
}

}  // namespace zmrtest
