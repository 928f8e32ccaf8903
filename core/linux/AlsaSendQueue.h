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

private:
    unsigned char* reserve(size_t size);
    const unsigned char* front() const;
    void consume(size_t size);
    void recycle(Block* block);

    Block* head = nullptr; // read from here
    Block* tail = nullptr; // appended to here
    size_t readPos = 0;
    Block* spare = nullptr; // kept for the next burst
};

} // namespace Lk
