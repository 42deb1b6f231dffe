#pragma once
// What the waits of the event layer need to know about the calling thread's
// message queue, without taking a message out of it.
namespace talvex::detail {

// Descriptor that poll() reports readable when a datagram reaches the calling
// thread's queue; -1 when the thread has no queue.
int CurrentMessageQueueDescriptor();
// True when the calling thread's queue holds a message (kept aside or waiting in
// the socket). Malformed datagrams at the head are dropped on the way.
bool HasQueuedMessage();

}  // namespace talvex::detail
