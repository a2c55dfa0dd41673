#include "voip/h225/identity.h"
#include "voip/h225/field.h"

#include <mutex>
#include <random>

namespace voip::h225 {

void setProtocolIdentifier(asn::Value& protocolIdentifier)
{
    protocolIdentifier.setOid(kProtocolIdentifier);
}

std::uint64_t protocolVersion(const asn::Value& protocolIdentifier)
{
    const auto arcs = protocolIdentifier.oid();
    if (arcs.size() != 6 || arcs[0] != 0 || arcs[1] != 0 || arcs[2] != 8 || arcs[3] != 2250 ||
        arcs[4] != 0) {
        return 0;
    }
    return arcs[5];
}

Guid newGuid()
{
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    Guid guid{};
    for (std::size_t i = 0; i < guid.size(); i += 8) {
        const std::uint64_t r = engine();
        for (std::size_t k = 0; k < 8; ++k) {
            guid[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
        }
    }
    guid[6] = static_cast<std::uint8_t>((guid[6] & 0x0F) | 0x40); // RFC 4122 4.4: version 4
    guid[8] = static_cast<std::uint8_t>((guid[8] & 0x3F) | 0x80); // variant 10
    return guid;
}

std::string guidText(const Guid& guid)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < guid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            s.push_back('-');
        }
        s.push_back(kHex[guid[i] >> 4]);
        s.push_back(kHex[guid[i] & 0x0F]);
    }
    return s;
}

void setGuid(asn::Value& octets16, const Guid& guid)
{
    octets16.setOctets(guid);
}

Guid guidOf(const asn::Value& octets16)
{
    Guid guid{};
    const auto octets = octets16.octets();
    if (octets.size() == guid.size()) {
        std::copy(octets.begin(), octets.end(), guid.begin());
    }
    return guid;
}

void setVendorIdentifier(asn::Value& vendorIdentifier, const ProductIdentity& identity)
{
    asn::Value& vendor = vendorIdentifier.field(field::vendor);
    vendor.field(field::t35CountryCode).setInteger(identity.t35CountryCode & 0xFF);
    vendor.field(field::t35Extension).setInteger(identity.t35Extension & 0xFF);
    vendor.field(field::manufacturerCode).setInteger(identity.manufacturerCode & 0xFFFF);
    if (!identity.productId.empty()) {
        vendorIdentifier.field(field::productId).setBytes(identity.productId.substr(0, 256));
    }
    if (!identity.versionId.empty()) {
        vendorIdentifier.field(field::versionId).setBytes(identity.versionId.substr(0, 256));
    }
}

void setEndpointType(asn::Value& endpointType, const ProductIdentity& identity)
{
    setVendorIdentifier(endpointType.field(field::vendor), identity);
    endpointType.field(field::terminal);
    endpointType.field(field::mc).setBoolean(false);
    endpointType.field(field::undefinedNode).setBoolean(false);
}

std::string productText(const asn::Value& endpointType)
{
    const asn::Value& vendor = endpointType[field::vendor];
    std::string text(vendor[field::productId].bytes());
    // Peers often end these with a NUL octet.
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    std::string version(vendor[field::versionId].bytes());
    while (!version.empty() && version.back() == '\0') {
        version.pop_back();
    }
    if (!version.empty()) {
        text += text.empty() ? version : " " + version;
    }
    return text;
}

} // namespace voip::h225
