/* Stands in for the agent as /init: keeps the guest up and answers nothing, not even the power
 * button. */
#include <unistd.h>

int main(void) {
    for (;;)
        pause();
}
