// A minimal host: one POI query and one batch revision, with every Con text
// released as the host owns it. Build it against an installed NalPoiComm:
//   cmake (find_package(NalPoiComm)) or
//   g++ minimal_host.cpp $(pkg-config --cflags --libs nalpoicomm)
#include <NalPoiComm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main() {
    __POIINFO__ query{};
    std::strcpy(query.Type, "1");
    std::strcpy(query.ID, "H-1001");
    __POICONTENT__ content{};
    const int update = SendUpdateRequest(query, content);
    std::printf("SendUpdateRequest: %d\n", update);
    if (update == 1) std::printf("  Tel %s, Addr %s\n", content.Tel, content.Addr);
    std::free(content.Con);  // set by any call that reached the reply, whatever its result

    __POIINFO2__ since{};
    std::strcpy(since.Type, "1");
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    __HOTELNUM__ counts{};
    const int batch = RevBatch(since, added, deleted, updated, counts);
    std::printf("RevBatch: %d\n", batch);
    if (batch == 1) {
        std::printf("  %d added, %d deleted, %d updated, up to %s\n", counts.NumA, counts.NumD,
                    counts.NumU, since.Time);
    }
    for (auto& hotel : added) std::free(hotel.Con);
    for (auto& hotel : updated) std::free(hotel.Con);
    return 0;
}
