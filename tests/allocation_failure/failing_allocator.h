// An allocator interposed on the whole test process (malloc and its
// relatives, so operator new, libcurl, TinyXML and glibc's own use go through
// it too). Armed, it counts allocations and fails the chosen ones, and it
// keeps the blocks allocated while armed, to find what a failed call leaks.
#ifndef NALPOICOMM_TESTS_ALLOCATION_FAILURE_FAILING_ALLOCATOR_H
#define NALPOICOMM_TESTS_ALLOCATION_FAILURE_FAILING_ALLOCATOR_H

namespace failing_allocator {

enum class Mode {
    kCount,     // count only
    kFailOne,   // fail allocation number `point` (from 1), let the rest succeed
    kFailFrom,  // fail allocation number `point` and every one after it
};

// Looks up what the failure reports need; call once before arming.
void Prepare();

// Starts counting from zero with an empty record of live blocks.
void Arm(Mode mode, long point);
void Disarm();

long Allocations();       // counted since Arm
long FailuresInjected();  // allocations failed since Arm
// Whether a failed allocation came from inside TinyXML's own document
// parser, which is not exception-safe and may leak the unlinked part.
bool FailedInsideXmlParse();
long LiveBlocks();  // allocated while armed and not freed since

}  // namespace failing_allocator

#endif
