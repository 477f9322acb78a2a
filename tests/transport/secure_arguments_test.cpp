// The stub's secure-transport arguments, what the SOAP call receives of them, and the service
// factory's answers.
#include <gtest/gtest.h>

#include <memory>

#include "rba/KOVASOAPCall.h"
#include "rba/stub/AuthzService.h"
#include "transport/transport_support.h"

namespace {

char* text(const char* value) { return const_cast<char*>(value); }
char* const TRUE_MARKER = reinterpret_cast<char*>(1);
char* const END = nullptr;

std::vector<std::string> argumentsOf(const AuthzService& stub) {
    std::vector<std::string> values;
    for (int i = 0; i < 8; ++i) values.push_back(stub.secureArgument(i));
    return values;
}

// A stub whose eight arguments already hold "old0".."old7", to see which ones a call replaces.
std::unique_ptr<AuthzService> stubWithOldArguments() {
    auto stub = std::make_unique<AuthzService>();
    stub->SetSecure(text("old0"), text("old1"), text("old2"), text("old3"), text("old4"), text("old5"), text("old6"),
                    text("old7"), END);
    return stub;
}

// A call replaces only the arguments it gives: seven keep the eighth, a null first argument changes
// nothing, and of more than eight only the first eight are stored.
TEST(SecureArguments, ACallReplacesOnlyTheArgumentsItGives) {
    auto stub = stubWithOldArguments();
    stub->SetSecure(text("a"), text("b"), text("c"), text("d"), text("e"), text("f"), text("g"), END);
    EXPECT_EQ(argumentsOf(*stub), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "old7"}));
    stub->SetSecure(END, text("ignored"), END);
    EXPECT_EQ(argumentsOf(*stub), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "old7"}));
    stub->SetSecure(text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text("7"), text("8"), text("9"),
                    text("10"), END);
    EXPECT_EQ(argumentsOf(*stub), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
}

// The call's interface declares an array of C strings; it reads them during an exchange and keeps copies. Six
// arguments also set the seventh to false and keep the eighth, and the pointer value 1 is stored as true.
TEST(SecureArguments, TheCallReceivesSixAsTheArrayOfCStringsItDeclaresWithTheSeventhFalse) {
    kova_test::RefPdp pdp(std::vector<std::string>{});
    AuthzService stub(pdp.url().c_str(), orbsec_axiscpp::APTHTTP1_1);
    stub.SetSecure(text("0"), text("1"), text("2"), text("3"), text("4"), text("5"), text("6"), text("old7"), END);
    stub.SetSecure(text("/etc/kova/key.kdb"), TRUE_MARKER, text("kova label"), text(""), text("TLSv1.2"), text("x"),
                   END);
    kova_test::XacmlPieces request("/any");
    kova_test::takeJoined(stub.EvaluateXACML(request.any()));
    std::vector<std::string> received;
    for (int i = 0; i < orbsec_axiscpp::SECURE_PROPERTY_COUNT; ++i)
        received.push_back(stub.getCall()->getSecureProperty(i));
    EXPECT_EQ(received, (std::vector<std::string>{"/etc/kova/key.kdb", "true", "kova label", "", "TLSv1.2", "x",
                                                  "false", "old7"}));
    EXPECT_EQ(stub.getCall()->getSecureProperty(orbsec_axiscpp::SECURE_PROPERTY_COUNT), nullptr);
}

TEST(ServiceFactory, SetHandleSecureStoresExactlyOneArgument) {
    KOVAServiceFactory factory;
    auto stub = stubWithOldArguments();
    factory.setHandleSecure(stub.get(), text("/etc/kova/trust.pem"));
    EXPECT_EQ(argumentsOf(*stub), (std::vector<std::string>{"/etc/kova/trust.pem", "old1", "old2", "old3", "old4",
                                                            "old5", "old6", "old7"}));
}

}  // namespace
