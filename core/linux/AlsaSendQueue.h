#pragma once

#include <cstddef>

namespace Lk {

// The messages an output has accepted but not yet handed to the sequencer: each a header
// followed by its pieces (one sequencer event each), in the order they were appended. Kept
// in blocks that are reused, so that steady traffic allocates nothing and a long message
// costs little more than its own bytes. Not synchronised: its owner guards it.
class AlsaSendQueue {
    struct Block;

public:
    // A record (a header, or a piece with its length) never straddles two blocks.
    static constexpr size_t BLOCK_BYTES = 16384;

    struct Message {
        unsigned long long sequence;  // numbers the messages of one output
        unsigned long long start;     // when its first byte may go on the wire
        unsigned long long byteNanos; // wire time per byte; 0 hands every piece on at `start`
        int length;                   // the bytes of all its pieces
        bool isLong;                  // sent as a long message
    };
    // Where the queue ended, to take back a message that could not be appended whole.
    struct Mark {
        Block* block;
        size_t used;
        size_t bytes;
    };

    AlsaSendQueue() = default;
    AlsaSendQueue(const AlsaSendQueue&) = delete;
    AlsaSendQueue& operator=(const AlsaSendQueue&) = delete;
    ~AlsaSendQueue();

    bool empty() const;
    Mark mark() const;
    // False when memory ran out; roll back to the mark then.
    bool appendMessage(const Message& message);
    bool appendPiece(const unsigned char* bytes, int size);
    void rollBack(const Mark& mark);

    // A message's header comes first, then its pieces: the reader knows which is next.
    Message takeMessage();
    // Copies the next piece to `to`, which has room for the longest piece appended; its
    // length.
    int takePiece(unsigned char* to);
    void clear();

    // The blocks held, the spare one included.
    size_t blockCount() const;
    // The MIDI bytes of the pieces not yet taken.
    size_t bytes() const { return pieceBytes; }

private:
    unsigned char* reserve(size_t size);
    const unsigned char* front() const;
    void consume(size_t size);
    void recycle(Block* block);

    Block* head = nullptr; // read from here
    Block* tail = nullptr; // appended to here
    size_t readPos = 0;
    size_t pieceBytes = 0;
    Block* spare = nullptr; // kept for the next burst
};

// Keeps an output's backlog near its limit when messages come faster than the wire takes
// them: a message that would make it longer is dropped whole. A System Exclusive message
// that arrives in pieces (the first without its F7) is taken or dropped as a whole: once
// begun it is finished, whatever the backlog. A message, however long, is taken when nothing
// waits: a bank dump at the wire's rate never finds more than its last piece waiting.
class AlsaSendLimit {
public:
    // Two seconds of a MIDI wire (3125 bytes a second): a burst from a fast source passes
    // whole, and a message waits no longer than that behind what came before it.
    static constexpr unsigned long long LIMIT_NANOS = 2000000000;
    static constexpr size_t LIMIT_BYTES = 6250;

    // The limit of an output that takes `byteNanos` per byte (0: not paced).
    static size_t limitFor(unsigned long long byteNanos) {
        return byteNanos > 0 ? static_cast<size_t>(LIMIT_NANOS / byteNanos) : LIMIT_BYTES;
    }

    explicit AlsaSendLimit(size_t limitBytes = LIMIT_BYTES) : limitBytes(limitBytes) {}
    // Whether to take the message `data` of `length` bytes when `backlog` bytes wait.
    bool admit(const unsigned char* data, int length, size_t backlog);

private:
    size_t limitBytes;
    enum class SysEx { none, taken, dropped };
    SysEx sysEx = SysEx::none; // a System Exclusive message whose end has not come yet
};

} // namespace Lk
