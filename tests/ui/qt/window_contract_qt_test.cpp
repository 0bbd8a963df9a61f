#include "qt_test_support.h"
#include "ui/window_contract.h"

namespace ui::contract {
namespace {

INSTANTIATE_TEST_SUITE_P(Qt, WindowContractTest, ::testing::Values(HarnessFactory([] {
                           return std::make_unique<qt::test::QtHarness>();
                         })),
                         [](const auto&) { return std::string("Qt"); });

}  // namespace
}  // namespace ui::contract
