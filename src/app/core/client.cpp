#include "app/core/client.h"

#include <cstring>
#include <initializer_list>

namespace {

// Row order is fixed: the device's client block is looked up by position.
constexpr const char* kClientTable[ZK_CLIENT_ROWS] = {
    "                     ",
    "Qirune/Fellodo",
    "Brastel",
    "Oviremo",
    "Lunquar",
    "Zekano",
    "Pemdrolo",
    "Astrevi",
    "Corvalenz",
    "Drumeki",
    "Eskorra",
    "Fajomir",
    "Gruvello",
    "Hestrani",
    "Ilvomar",
    "Jorsetti",
    "Kambrino",
    "Lirrowe",
    "Mavento",
    "Nostrabi",
    "Ostiveer",
    "Pralenko",
    "Quorvado",
    "Rimbasto",
    "Solvreni",
    "Trevasso",
    "Ulmarche",
    "Vinjodo",
    "Wexalbe",
    "Namberi",
    "Yrrevan",
    "Zuvilek",
    "Abrantoe",
    "Belmuvo",
    "Cintrago",
    "Dovenkra",
    "Elmastro",
    "Frimolla",
    "Kelvoran",
    "Gavroste",
    "Horvikel",
    "Imbrasso",
    "Jelvanto",
    "Krumesso",
    "Lodravin",
    "Sudrenix",
    "Mesquari",
    "Nivorell",
    "Obrelant",
    "Pistrove",
    "Ruvendal",
    "Scalbrio",
    "Tormelve",
    "Uvastino",
    "Verdolak",
    "Wimbrelo",
    "Xarvento",
    "Yolmestra",
    "Brivonte",
    "Calvaxo",
    "Dremosti",
    "Halvorin",
    "Forvilan",
    "Glendori",
    "TAVO",
    "Harvesto",
    "Istrevel",
};

static_assert(sizeof(CLIENT_TAG) - 1 == 4, "the client tag is four characters");

bool startsWith(const uint8_t* name, size_t length, const char* prefix) {
    size_t n = std::strlen(prefix);
    return n <= length && std::memcmp(name, prefix, n) == 0;
}

} // namespace

const char* ZK_Client_row(int index) {
    if (index < 0 || index >= ZK_CLIENT_ROWS)
        return nullptr;
    return kClientTable[index];
}

int LookupClient(const uint8_t* name, size_t length) {
    if (!name)
        return -1;
    for (int row = 0; row < ZK_CLIENT_ROWS; ++row)
        if (startsWith(name, length, kClientTable[row]))
            return row;
    return -1;
}

int IsDeviceClientAccepted(void*, const uint8_t* clientBlock) {
    if (!clientBlock)
        return 1;
    if (LookupClient(clientBlock, ZK_CLIENT_BLOCK_SIZE) == -1)
        return 1;
    if (startsWith(clientBlock, ZK_CLIENT_BLOCK_SIZE, CLIENT_TAG))
        return 1;
    for (int row : {5, 45, 61})
        if (startsWith(clientBlock, ZK_CLIENT_BLOCK_SIZE, kClientTable[row]))
            return 1;
    return 0;
}

bool ZK_Client_titleMatches(const uint8_t* title, size_t length) {
    return title && startsWith(title, length, CLIENT_TAG);
}
