#include "crypto/classical/openssl_error.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

namespace ostrel::crypto {
namespace {

TEST(OpensslError, DrainsTheWholeQueueIntoTheDetail) {
  ERR_raise_data(ERR_LIB_EVP, EVP_R_BAD_DECRYPT, "piece %d", 1);
  ERR_raise(ERR_LIB_EVP, EVP_R_INVALID_KEY_LENGTH);
  const CryptoError e = openssl_error(CryptoError::Kind::Backend, "context");
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(e.kind, CryptoError::Kind::Backend);
  EXPECT_EQ(e.detail, "context: bad decrypt (piece 1); invalid key length");
  EXPECT_EQ(e.display(), "cryptographic backend failure: context: bad decrypt (piece 1); invalid key length");
}

TEST(OpensslError, EmptyQueueGivesTheContextAlone) {
  ASSERT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(openssl_error(CryptoError::Kind::InvalidKey, "context").detail, "context");
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  discard_openssl_errors();
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace ostrel::crypto
