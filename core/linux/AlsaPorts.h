#pragma once

#include "platform/OxString.h"

#include <alsa/asoundlib.h>

namespace Lk {

// What the factory and the ports need to know of one sequencer port of another client.
struct AlsaPortIdentity {
    long long address = -1; // packSeqAddress(client, port)
    OxString name;          // the display name
    OxString serial;        // from the client's sound card; empty without a card
    OxString interface;
};

// Is the port one that the direction lists: readable and subscribable for an input,
// writable and subscribable for an output, and not marked private?
bool alsaPortIsListed(unsigned capabilities, int isInput);

// Is the client ours, or one of the other clients of this process, or the system client?
bool alsaClientIsSkipped(const snd_seq_client_info_t* client, int ownClient);

// The name users see: the port name when it already says the client's name, else
// "client : port" (blanks around either name are dropped).
OxString alsaDisplayName(const OxString& portName, const OxString& clientName);

// 8 hexadecimal digits that stay the same for the same text.
OxString alsaHashText(const OxString& text);

// Calls visit(client, port) for every port that the direction lists, ordered by client
// and port number; returns how many there were. Card names are looked up only when
// `withIdentity` is set, so that counting stays cheap.
template <class Visit>
int alsaForEachListedPort(snd_seq_t* seq, int ownClient, int isInput, Visit visit) {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    int count = 0;
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        if (alsaClientIsSkipped(client, ownClient))
            continue;
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0)
            if (alsaPortIsListed(snd_seq_port_info_get_capability(port), isInput)) {
                visit(client, port);
                ++count;
            }
    }
    return count;
}

// Name and identity of a port whose client and port information were read.
AlsaPortIdentity alsaIdentify(snd_seq_client_info_t* client, const snd_seq_port_info_t* port);

// Reads the port at `address` afresh; false when it is gone, no longer listed for the
// direction, or belongs to a skipped client.
bool alsaLookUpPort(snd_seq_t* seq, int ownClient, long long address, int isInput,
                    AlsaPortIdentity& identity);

} // namespace Lk
