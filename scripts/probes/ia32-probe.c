/* Native Linux x86-64, no Wine: can this machine run 32-bit x86 code inside a
   64-bit process? That is what Wine's WoW64 mode does for every 32-bit Windows
   program: a far jump to the 32-bit user code segment (selector 0x23). Kernels
   with IA-32 emulation off, and some hypervisors, fault there.
   Prints "yes" and exits 0, or "no (...)" and exits 1; 2 when it cannot tell.
   Built without PIE, so the code below lies under 4 GiB where 32-bit code can
   address it. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

static unsigned long saved_rsp;

/* Runs two instructions in the 32-bit segment and comes back. The upper half
   of RSP does not survive 32-bit mode, hence the saved copy. */
static int Run32(void) {
  int result;
  __asm__ volatile(
      "movq %%rsp, %1\n\t"
      "ljmpl *1f(%%rip)\n\t"
      "1: .long 2f\n\t"
      ".word 0x23\n\t"
      ".code32\n"
      "2: movl $42, %%eax\n\t"
      "ljmpl $0x33, $3f\n\t"
      ".code64\n"
      "3: movq %1, %%rsp\n\t"
      : "=a"(result), "=m"(saved_rsp)
      :
      : "memory");
  return result;
}

int main(void) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    perror("ia32-probe: fork");
    return 2;
  }
  if (pid == 0) {
    /* The refusal is a segmentation fault: no core file for it. */
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    _exit(Run32());
  }
  int status;
  if (waitpid(pid, &status, 0) != pid) {
    perror("ia32-probe: waitpid");
    return 2;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 42) {
    puts("yes");
    return 0;
  }
  if (WIFSIGNALED(status))
    printf("no (a jump to the 32-bit code segment ends in signal %d; the kernel runs 64-bit user code only)\n",
           WTERMSIG(status));
  else
    printf("no (the 32-bit code came back with exit status %d)\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 1;
}
