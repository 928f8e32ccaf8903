#include "core/linux/AlsaPorts.h"

#include "core/linux/AlsaSequencer.h"

#include <unistd.h>

#include <cstdlib>

namespace Lk {

bool alsaPortIsListed(unsigned capabilities, int isInput) {
    const unsigned needed = isInput ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                    : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    return (capabilities & needed) == needed && (capabilities & SND_SEQ_PORT_CAP_NO_EXPORT) == 0;
}

bool alsaClientIsSkipped(const snd_seq_client_info_t* client, int ownClient) {
    const int number = snd_seq_client_info_get_client(client);
    // Kernel clients have no process (-1); user clients of this process share our pid.
    return number == SND_SEQ_CLIENT_SYSTEM || number == ownClient ||
           snd_seq_client_info_get_pid(client) == getpid();
}

OxString alsaDisplayName(const OxString& portName, const OxString& clientName) {
    const OxString name = portName.trim();
    const OxString model = clientName.trim();
    if (name.isEmpty())
        return model;
    if (model.isEmpty() || name.contains(model, 1))
        return name;
    return OxString::format("%s : %s", model.c_str(), name.c_str());
}

OxString alsaHashText(const OxString& text) {
    // FNV-1a: small, and stable across runs and builds.
    unsigned hash = 2166136261u;
    for (const char* p = text.c_str(); *p != 0; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return OxString::toHex(hash, 8);
}

AlsaPortIdentity alsaIdentify(snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
    AlsaPortIdentity identity;
    const int portNumber = snd_seq_port_info_get_port(port);
    identity.address = packSeqAddress(snd_seq_client_info_get_client(client), portNumber);
    identity.name =
        alsaDisplayName(snd_seq_port_info_get_name(port), snd_seq_client_info_get_name(client));
    const int card = snd_seq_client_info_get_card(client);
    char* longName = nullptr;
    // The long name carries the bus path ("... at usb-0000:00:14.0-2"), so two equal
    // devices differ and a replugged one keeps its identity.
    if (card >= 0 && snd_card_get_longname(card, &longName) >= 0 && longName != nullptr) {
        identity.serial = alsaHashText(longName);
        // The client's name too: one card may have several clients (virmidi has one per
        // device), each with a port 0.
        identity.interface = alsaHashText(OxString::format(
            "%s#%s#%d", longName, snd_seq_client_info_get_name(client), portNumber));
    }
    free(longName);
    return identity;
}

bool alsaLookUpPort(snd_seq_t* seq, int ownClient, long long address, int isInput,
                    AlsaPortIdentity& identity) {
    if (address < 0)
        return false;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_client_info(seq, seqAddressClient(address), client) < 0 ||
        alsaClientIsSkipped(client, ownClient) ||
        snd_seq_get_any_port_info(seq, seqAddressClient(address), seqAddressPort(address), port) <
            0 ||
        !alsaPortIsListed(snd_seq_port_info_get_capability(port), isInput))
        return false;
    identity = alsaIdentify(client, port);
    return true;
}

} // namespace Lk
