// The epoll transport's TLS listener, held to the shared TLS contract.
#include "EpollHarness.h"
#include "TlsTransportContract.h"

namespace zorva::test {
INSTANTIATE_TYPED_TEST_SUITE_P(Epoll, TlsTransportContract, testing::Types<EpollHarness>);
}  // namespace zorva::test
