/*
 * LD_PRELOAD shim that lets an unmodified call-audio binary see the simulated
 * modem card. The service finds its card by testing "/proc/asound/<id>" with
 * access(); machines without sound support have no /proc/asound at all, so
 * that one test is answered from the simulator's state folder instead:
 *
 *   CALLAUDIO_SIM_DIR=/some/dir   card <id> is present while the directory
 *                                 /some/dir/cards/<id> exists.
 *
 * Every other path, and every call when the variable is unset, goes to the
 * real access().
 *
 * It also wraps snd_pcm_resume: ALSA's ioplug layer turns whatever a
 * plugin's resume callback returns into 0, so the simulated card reports its
 * real answer (say -EAGAIN while the card is still waking up) through
 * callaudio_sim_resume_answer(), and the wrapper returns that instead.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kProcAsound[] = "/proc/asound/";

typedef int (*access_fn)(const char *, int);

int access(const char *path, int mode)
{
	static access_fn real_access;
	if (!real_access)
		real_access = (access_fn)dlsym(RTLD_NEXT, "access");

	const char *dir = getenv("CALLAUDIO_SIM_DIR");
	size_t prefix = sizeof(kProcAsound) - 1;
	if (dir && *dir && strncmp(path, kProcAsound, prefix) == 0) {
		const char *id = path + prefix;
		/* Only a plain card id maps to a card folder; anything with a
		 * slash (a file inside a card's /proc entry) is simply absent. */
		if (*id == '\0' || strchr(id, '/') != NULL) {
			errno = ENOENT;
			return -1;
		}
		char mapped[4096];
		int n = snprintf(mapped, sizeof(mapped), "%s/cards/%s", dir, id);
		struct stat st;
		if (n < 0 || (size_t)n >= sizeof(mapped) || stat(mapped, &st) != 0 ||
		    !S_ISDIR(st.st_mode)) {
			errno = ENOENT;
			return -1;
		}
		return 0;
	}
	return real_access(path, mode);
}

/* Set by the simulated card's resume callback, which runs on the thread
 * that called snd_pcm_resume; thread-local so concurrent streams on other
 * threads cannot see each other's answers. */
static __thread int resume_answer_set;
static __thread int resume_answer;

void callaudio_sim_resume_answer(int answer);
void callaudio_sim_resume_answer(int answer)
{
	resume_answer = answer;
	resume_answer_set = 1;
}

typedef struct _snd_pcm snd_pcm_t;
typedef int (*resume_fn)(snd_pcm_t *);
int snd_pcm_resume(snd_pcm_t *pcm);

int snd_pcm_resume(snd_pcm_t *pcm)
{
	static resume_fn real_resume;
	if (!real_resume)
		real_resume = (resume_fn)dlsym(RTLD_NEXT, "snd_pcm_resume");
	if (!real_resume)
		return -ENOSYS;
	resume_answer_set = 0;
	int r = real_resume(pcm);
	if (resume_answer_set) {
		resume_answer_set = 0;
		return resume_answer;
	}
	return r;
}
