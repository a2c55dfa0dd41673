#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/kxdecode/decoder.h"

namespace kx::testutil {

/// The tshark fields these tests compare, in the order tshark is asked for them.
const std::vector<std::string>& comparedFields();

/// The values of comparedFields() as tshark would print them for these messages (all of
/// one frame, in order): field name -> one string per occurrence in tree order.
std::map<std::string, std::vector<std::string>>
fieldsOf(const std::vector<const kx::decode::DecodedMessage*>& messages);

} // namespace kx::testutil
