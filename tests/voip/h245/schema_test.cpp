#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "voip/asn/schema.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

TEST(H245Schema, TextHoldsNoForeignComments)
{
    // Our own comment lines only: the schema carries no ASN.1 comment markers.
    EXPECT_EQ(moduleText().find("--"), std::string_view::npos);
    EXPECT_EQ(moduleText().substr(0, 11), "module h245");
}

} // namespace
} // namespace voip::h245
