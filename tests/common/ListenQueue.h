// What the kernel says about a TCP listener's queue, for tests that check
// the backlog a component or tool asked for.
#pragma once

namespace evctest {

// The accept-queue limit of the listener on 127.0.0.1:port, as `ss` shows
// it for a listening socket; -1 when there is no such listener.
int ListenQueueLimit(int port);
// The most any listener may queue (net.core.somaxconn), or -1.
int SystemListenQueueMax();

}  // namespace evctest
