#include "core/linux/AlsaSendQueue.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace Lk {

struct AlsaSendQueue::Block {
    Block* next = nullptr;
    size_t used = 0;
    unsigned char bytes[BLOCK_BYTES];
};

namespace {

using PieceLength = std::uint16_t;

} // namespace

AlsaSendQueue::~AlsaSendQueue() {
    clear();
    delete spare;
}

bool AlsaSendQueue::empty() const {
    return head == nullptr || (head == tail && readPos == tail->used);
}

AlsaSendQueue::Mark AlsaSendQueue::mark() const {
    return {tail, tail != nullptr ? tail->used : 0, pieceBytes};
}

bool AlsaSendQueue::appendMessage(const Message& message) {
    unsigned char* at = reserve(sizeof message);
    if (at == nullptr)
        return false;
    std::memcpy(at, &message, sizeof message);
    return true;
}

bool AlsaSendQueue::appendPiece(const unsigned char* bytes, int size) {
    if (size < 0 || size > 0xFFFF)
        return false;
    const PieceLength length = static_cast<PieceLength>(size);
    unsigned char* at = reserve(sizeof length + length);
    if (at == nullptr)
        return false;
    std::memcpy(at, &length, sizeof length);
    std::memcpy(at + sizeof length, bytes, length);
    pieceBytes += length;
    return true;
}

void AlsaSendQueue::rollBack(const Mark& mark) {
    pieceBytes = mark.bytes;
    Block* dropped = mark.block != nullptr ? mark.block->next : head;
    while (dropped != nullptr) {
        Block* next = dropped->next;
        recycle(dropped);
        dropped = next;
    }
    if (mark.block == nullptr) {
        head = tail = nullptr;
        readPos = 0;
        return;
    }
    tail = mark.block;
    tail->next = nullptr;
    tail->used = mark.used;
}

AlsaSendQueue::Message AlsaSendQueue::takeMessage() {
    Message message;
    std::memcpy(&message, front(), sizeof message);
    consume(sizeof message);
    return message;
}

int AlsaSendQueue::takePiece(unsigned char* to) {
    const unsigned char* at = front();
    PieceLength length;
    std::memcpy(&length, at, sizeof length);
    std::memcpy(to, at + sizeof length, length);
    consume(sizeof length + length);
    pieceBytes -= length;
    return length;
}

void AlsaSendQueue::clear() {
    while (head != nullptr) {
        Block* next = head->next;
        recycle(head);
        head = next;
    }
    tail = nullptr;
    readPos = 0;
    pieceBytes = 0;
}

size_t AlsaSendQueue::blockCount() const {
    size_t count = spare != nullptr ? 1 : 0;
    for (const Block* b = head; b != nullptr; b = b->next)
        ++count;
    return count;
}

unsigned char* AlsaSendQueue::reserve(size_t size) {
    if (size > BLOCK_BYTES)
        return nullptr;
    if (tail == nullptr || tail->used + size > BLOCK_BYTES) {
        Block* block = spare;
        spare = nullptr;
        if (block == nullptr)
            block = new (std::nothrow) Block;
        if (block == nullptr)
            return nullptr;
        block->next = nullptr;
        block->used = 0;
        if (tail != nullptr) {
            tail->next = block;
        } else {
            head = block;
            readPos = 0;
        }
        tail = block;
    }
    unsigned char* at = tail->bytes + tail->used;
    tail->used += size;
    return at;
}

const unsigned char* AlsaSendQueue::front() const {
    // A block whose records are all read has been left by consume().
    return head->bytes + readPos;
}

void AlsaSendQueue::consume(size_t size) {
    readPos += size;
    if (readPos < head->used)
        return;
    readPos = 0;
    if (head == tail) {
        head->used = 0; // empty: the block is written again from its start
        return;
    }
    Block* done = head;
    head = head->next;
    recycle(done);
}

void AlsaSendQueue::recycle(Block* block) {
    if (spare == nullptr)
        spare = block;
    else
        delete block;
}

bool AlsaSendLimit::admit(const unsigned char* data, int length, size_t backlog) {
    const bool fits = backlog == 0 || backlog + static_cast<size_t>(length) <= limitBytes;
    const unsigned char first = data[0];
    if (first >= 0xF8) // real time: it neither begins nor ends anything
        return fits;
    const bool ends = data[length - 1] == 0xF7;
    if ((first < 0x80 || first == 0xF7) && sysEx != SysEx::none) {
        const bool taken = sysEx == SysEx::taken;
        if (ends)
            sysEx = SysEx::none;
        return taken;
    }
    sysEx = first == 0xF0 && !ends ? (fits ? SysEx::taken : SysEx::dropped) : SysEx::none;
    return fits;
}

} // namespace Lk
