//+------------------------------------------------------------------+
//|                                                   movu_mt5.mqh   |
//|        Import block and a thin wrapper for movu_mt5.dll (MQL5)    |
//+------------------------------------------------------------------+
/*
   movu_mt5.dll gives MQL5 programs the movu economic calendar and the
   client service: tokens, signed requests, failover across base URLs and
   background jobs, without blocking the terminal.

   Installing
   - Unzip the release into the terminal's data folder (File > Open Data
     Folder): MQL5\Libraries\movu_mt5.dll, this file and movu_calendar.mqh
     in MQL5\Include, the examples in MQL5\Scripts, Experts, Indicators.
   - Allow DLL imports: Tools > Options > Expert Advisors > "Allow DLL
     imports", and in each program's properties (Dependencies / Common tab).
     A program can check both with MovuDllsAllowed() below, which reads
     TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) and
     MQLInfoInteger(MQL_DLLS_ALLOWED).
   - Strategy Tester: CMovuClient makes no DLL call there unless asked
     (AllowDllInTester); the calendar comes from days recorded by live runs
     (SetRecording), so backtests repeat and run on agents that refuse DLLs.
     DLLs are not allowed in Market products. See docs/calendar-data.md.

   Things to know
   - The terminal loads one copy of the DLL and every program of the
     terminal shares it: base URLs, the terminal data path, the product
     secret, the bearer token and the job table are shared too. A setting
     made by one program applies to all; set what you need in OnInit of
     every program. Tester agents are separate processes with their own copy.
   - Call Movu_SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH))
     so the token is cached on disk (for the current Windows user) and not
     fetched again at every start.
   - Synchronous calls (Movu_Calendar..., Movu_Heartbeat..., Movu_VipStatus...)
     block the calling program until the service answers. All indicators of
     a symbol share one thread, so indicators should use background jobs
     (Movu_Start..., Movu_GetAsyncSigned...) and poll them from OnTimer.
     A timer event is not queued while another one is pending or running, so
     polling from OnTimer never piles up.
   - A finished job stays in the library until it is cancelled: poll until
     the state is not MOVU_JOB_RUNNING, take the text, then Movu_Cancel the
     id. CMovuClient::Poll does all three.
   - Result buffers belong to the caller. A capacity counts the terminating
     zero; a longer text is cut at capacity-1 without notice. CMovuClient
     grows its buffer and asks again when a text reaches that limit.

   Buffer types in the imports
   - string            UTF-16 text in (the terminal passes a UTF-16 copy)
   - const uchar &x[]  8-bit UTF-8 text in; fill it with MovuUtf8(), which
                       calls StringToCharArray(s, x, 0, WHOLE_ARRAY, CP_UTF8)
                       and keeps the terminating zero
   - uchar &x[]        8-bit result buffer (UTF-8); read it with
                       CharArrayToString(x, 0, -1, CP_UTF8)
   - ushort &x[]       UTF-16 result buffer; read it with ShortArrayToString
   - int &x            integer written by the library (job id, state, status)

   See docs/api.md, docs/background-jobs.md and docs/troubleshooting.md.
*/
#ifndef MOVU_MT5_MQH
#define MOVU_MT5_MQH

#import "movu_mt5.dll"
//--- settings; shared by every program of the terminal, nothing returned
void Movu_SetBaseUrl(string url);
void Movu_SetBaseUrlA(const uchar &url[]);
void Movu_SetBaseUrls(string list);
void Movu_SetBaseUrlsA(const uchar &list[]);
void Movu_SetProductSecret(string secret);
void Movu_SetProductSecretA(const uchar &secret[]);
void Movu_SetTerminalDataPath(string path);
void Movu_SetTerminalDataPathA(const uchar &path[]);
//--- synchronous calendar requests; no suffix: UTF-16 buffer, A: UTF-8 buffer
int  Movu_CalendarDay(string account,string platform,string broker,string server,
                      string clientVersion,string date,ushort &buffer[],int capacity);
int  Movu_CalendarDayA(string account,string platform,string broker,string server,
                       string clientVersion,string date,uchar &buffer[],int capacity);
int  Movu_CalendarMeta(string account,string platform,string broker,string server,
                       string clientVersion,string date,ushort &buffer[],int capacity);
int  Movu_CalendarMetaA(string account,string platform,string broker,string server,
                        string clientVersion,string date,uchar &buffer[],int capacity);
int  Movu_CalendarChanges(string account,string platform,string broker,string server,
                          string clientVersion,string date,long since,ushort &buffer[],int capacity);
int  Movu_CalendarChangesA(string account,string platform,string broker,string server,
                           string clientVersion,string date,long since,uchar &buffer[],int capacity);
//--- synchronous client status requests
int  Movu_Heartbeat(string account,string platform,string broker,string server,
                    string clientVersion,string payload,ushort &buffer[],int capacity);
int  Movu_HeartbeatA(string account,string platform,string broker,string server,
                     string clientVersion,string payload,uchar &buffer[],int capacity);
int  Movu_VipStatus(string account,string platform,string broker,string server,
                    string clientVersion,ushort &buffer[],int capacity);
int  Movu_VipStatusA(string account,string platform,string broker,string server,
                     string clientVersion,uchar &buffer[],int capacity);
//--- background jobs; A: every text is 8-bit UTF-8, W: every text is UTF-16
int  Movu_GetAsyncSignedA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                          const uchar &server[],const uchar &clientVersion[],const uchar &path[],
                          const uchar &query[],const uchar &method[],const uchar &body[],int &jobId);
int  Movu_GetAsyncSignedW(string account,string platform,string broker,string server,
                          string clientVersion,string path,string query,string method,
                          string body,int &jobId);
int  Movu_StartCalendarDayA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                            const uchar &server[],const uchar &clientVersion[],const uchar &date[],
                            int &jobId);
int  Movu_StartCalendarDayW(string account,string platform,string broker,string server,
                            string clientVersion,string date,int &jobId);
int  Movu_StartCalendarMetaA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                             const uchar &server[],const uchar &clientVersion[],const uchar &date[],
                             int &jobId);
int  Movu_StartCalendarMetaW(string account,string platform,string broker,string server,
                             string clientVersion,string date,int &jobId);
int  Movu_StartPingA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                     const uchar &server[],const uchar &clientVersion[],int &jobId);
int  Movu_StartPingW(string account,string platform,string broker,string server,
                     string clientVersion,int &jobId);
int  Movu_StartRegisterA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                         const uchar &server[],const uchar &clientVersion[],int &jobId);
int  Movu_StartRegisterW(string account,string platform,string broker,string server,
                         string clientVersion,int &jobId);
int  Movu_StartVipStatusA(const uchar &account[],const uchar &platform[],const uchar &broker[],
                          const uchar &server[],const uchar &clientVersion[],int &jobId);
int  Movu_StartVipStatusW(string account,string platform,string broker,string server,
                          string clientVersion,int &jobId);
int  Movu_PollA(int jobId,int &state,int &http,uchar &buffer[],int capacity);
int  Movu_Cancel(int jobId);
//--- desktop utilities
int  Movu_ProtectTextW(string text,uchar &buffer[],int capacity);
int  Movu_UnprotectTextW(string text,uchar &buffer[],int capacity);
int  Movu_OpenUrl(string url);
#import

#include "movu_calendar.mqh"

//+------------------------------------------------------------------+
//| Result codes. 0 is success; failures are negative. Any other      |
//| negative value is minus an HTTP status the service answered       |
//| (for example -403, -404, -304).                                   |
//+------------------------------------------------------------------+
#define MOVU_OK                      0
#define MOVU_ERR_ARGUMENT          (-1)   // a required out pointer, text or buffer is missing, or capacity < 1
#define MOVU_ERR_NO_ACCOUNT        (-2)   // requests: account missing or empty (Movu_GetAsyncSignedA: also path or method missing)
#define MOVU_ERR_NO_JOB            (-2)   // Movu_PollA, Movu_Cancel: no job with this id
#define MOVU_ERR_PROTECT           (-2)   // Movu_ProtectTextW: protection failed
#define MOVU_ERR_NOT_BASE64        (-2)   // Movu_UnprotectTextW: the text is not base64
#define MOVU_ERR_OPEN_FAILED       (-2)   // Movu_OpenUrl: the shell refused to open it
#define MOVU_ERR_EMPTY_ARGUMENT    (-3)   // Movu_GetAsyncSigned*: path or method empty
#define MOVU_ERR_ENCODE            (-3)   // Movu_ProtectTextW: base64 encoding failed
#define MOVU_ERR_UNPROTECT         (-3)   // Movu_UnprotectTextW: another user, machine, or damaged text
#define MOVU_ERR_THREAD            (-4)   // a background job's worker thread could not start
#define MOVU_ERR_BAD_BASE_URL      (-10)  // the base URL does not crack (scheme, host)
#define MOVU_ERR_SESSION           (-11)  // the HTTP session could not be opened
#define MOVU_ERR_CONNECT           (-12)  // connecting failed
#define MOVU_ERR_OPEN_REQUEST      (-13)  // the request could not be opened
#define MOVU_ERR_SEND              (-14)  // sending failed
#define MOVU_ERR_RECEIVE           (-15)  // no response was received
#define MOVU_ERR_EMPTY_TOKEN       (-70)  // a token was obtained but is empty
#define MOVU_ERR_INTERNAL          (-99)  // internal error: the library caught an unexpected failure
#define MOVU_ERR_NO_BASE_URL       (-100) // no base URL to ask for a token
#define MOVU_ERR_UNAUTHORIZED      (-401) // HTTP 401, also after one token renewal
#define MOVU_ERR_TOO_MANY_REQUESTS (-429) // HTTP 429
#define MOVU_ERR_SERVER            (-500) // HTTP 500 or above
//--- codes of CMovuClient itself; the DLL never returns them
#define MOVU_ERR_BUSY              (-1001) // a request of this kind is still running
#define MOVU_ERR_TOO_SOON          (-1002) // minimum interval or back-off not over (WaitMs())
#define MOVU_ERR_TESTER            (-1003) // in the Strategy Tester the DLL is not called (AllowDllInTester())
#define MOVU_ERR_NOT_RECORDED      (-1004) // in the Strategy Tester: no recorded calendar for that day
#define MOVU_ERR_BAD_ANSWER        (-1005) // the answer is not the JSON expected (see the error text)

//--- job states written by Movu_PollA
#define MOVU_JOB_RUNNING     0
#define MOVU_JOB_SUCCEEDED   1
#define MOVU_JOB_FAILED    (-1)

//--- text buffer sizes of CMovuClient, in bytes (terminator included);
//--- define them before the #include to change them
#ifndef MOVU_TEXT_INITIAL_BYTES
#define MOVU_TEXT_INITIAL_BYTES  1048576
#endif
#ifndef MOVU_TEXT_MAX_BYTES
#define MOVU_TEXT_MAX_BYTES     67108864
#endif
#ifndef MOVU_CLIENT_VERSION
#define MOVU_CLIENT_VERSION     "movu-mql5/1.10"
#endif

//+------------------------------------------------------------------+
//| A short description of a result code, for logs.                   |
//+------------------------------------------------------------------+
string MovuResultText(const int code)
  {
   switch(code)
     {
      case MOVU_OK:                    return("ok");
      case MOVU_ERR_ARGUMENT:          return("missing argument or buffer");
      case MOVU_ERR_NO_ACCOUNT:        return("missing account, or no such job, or protection step failed");
      case MOVU_ERR_EMPTY_ARGUMENT:    return("empty path or method, or protection step failed");
      case MOVU_ERR_THREAD:            return("worker thread not started");
      case MOVU_ERR_BAD_BASE_URL:      return("base URL not usable");
      case MOVU_ERR_SESSION:           return("HTTP session not opened");
      case MOVU_ERR_CONNECT:           return("connection failed");
      case MOVU_ERR_OPEN_REQUEST:      return("request not opened");
      case MOVU_ERR_SEND:              return("sending failed");
      case MOVU_ERR_RECEIVE:           return("no response received");
      case MOVU_ERR_EMPTY_TOKEN:       return("empty token");
      case MOVU_ERR_INTERNAL:          return("internal error");
      case MOVU_ERR_NO_BASE_URL:       return("no base URL");
      case MOVU_ERR_UNAUTHORIZED:      return("HTTP 401 unauthorized");
      case MOVU_ERR_TOO_MANY_REQUESTS: return("HTTP 429 too many requests");
      case MOVU_ERR_SERVER:            return("HTTP 5xx server error");
      case MOVU_ERR_BUSY:              return("a request of this kind is still running");
      case MOVU_ERR_TOO_SOON:          return("too soon: minimum interval or back-off");
      case MOVU_ERR_TESTER:            return("no DLL call in the Strategy Tester");
      case MOVU_ERR_NOT_RECORDED:      return("no recorded calendar for this day");
      case MOVU_ERR_BAD_ANSWER:        return("answer not understood");
     }
   if(code<0)
      return(StringFormat("HTTP %d",-code));
   return(StringFormat("unknown result %d",code));
  }

//+------------------------------------------------------------------+
//| True when this program may call the DLL; prints why not.          |
//+------------------------------------------------------------------+
bool MovuDllsAllowed(void)
  {
   if(!TerminalInfoInteger(TERMINAL_DLLS_ALLOWED))
     {
      Print("movu: DLL imports are off in the terminal (Tools > Options > Expert Advisors > Allow DLL imports)");
      return(false);
     }
   if(!MQLInfoInteger(MQL_DLLS_ALLOWED))
     {
      Print("movu: DLL imports are not allowed for this program (enable them in its properties)");
      return(false);
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| UTF-8 bytes of a text with the terminating zero, for the 8-bit    |
//| (A) inputs.                                                       |
//+------------------------------------------------------------------+
void MovuUtf8(const string text,uchar &bytes[])
  {
   ArrayResize(bytes,0);
   int n=StringToCharArray(text,bytes,0,WHOLE_ARRAY,CP_UTF8);
   if(n<1 || bytes[n-1]!=0)
     {
      if(n<0)
         n=0;
      ArrayResize(bytes,n+1);
      bytes[n]=0;
     }
  }

//+------------------------------------------------------------------+
//| Pacing of CMovuClient, in milliseconds; define before #include.   |
//+------------------------------------------------------------------+
#ifndef MOVU_MIN_INTERVAL_MS
#define MOVU_MIN_INTERVAL_MS     1000     // between two starts of one kind
#endif
#ifndef MOVU_BACKOFF_FIRST_MS
#define MOVU_BACKOFF_FIRST_MS   10000     // after a 429, 5xx or no answer; doubles each time
#endif
#ifndef MOVU_BACKOFF_MAX_MS
#define MOVU_BACKOFF_MAX_MS    600000
#endif

#ifndef MOVU_FULL_DAY_EVERY
#define MOVU_FULL_DAY_EVERY     12        // CMovuCalendarDay: every Nth refresh fetches the whole day
#endif

//--- the service paths; each one is a kind of request for the pacing
#define MOVU_PATH_DAY        "/v1/calendar/day.php"
#define MOVU_PATH_META       "/v1/calendar/meta.php"
#define MOVU_PATH_CHANGES    "/v1/calendar/changes.php"
#define MOVU_PATH_HEARTBEAT  "/v1/client/heartbeat.php"
#define MOVU_PATH_PING       "/v1/client/ping.php"
#define MOVU_PATH_REGISTER   "/v1/client/register.php"
#define MOVU_PATH_VIP        "/v1/client/vip_status.php"

//--- one job this client started and has not yet read
struct MovuJob
  {
   int               id;
   string            kind;
   string            date;       // calendar day jobs: the date asked for
  };

//--- pacing of one kind of request
struct MovuPace
  {
   string            kind;
   ulong             next;       // GetTickCount64() before which no request of the kind starts
   int               failures;   // in a row, of the kinds that back off
  };

//+------------------------------------------------------------------+
//| True for the outcomes that call for backing off: the service is   |
//| overloaded (429), failing (5xx) or not answering at all.          |
//+------------------------------------------------------------------+
bool MovuBacksOff(const int code)
  {
   return(code==MOVU_ERR_TOO_MANY_REQUESTS || (code<=-500 && code>=-599) ||
          (code<=MOVU_ERR_SESSION && code>=MOVU_ERR_RECEIVE));
  }

//+------------------------------------------------------------------+
//| CMovuClient: the caller's identity, buffers, job ids and pacing.  |
//|                                                                  |
//| Synchronous methods return the library's result code and fill     |
//| text with the answer (or the failure text). Start methods return  |
//| the new job id (1 or more) or a negative result code. Poll returns |
//| a job state; the job's result code is LastResult().               |
//| Jobs started here and not yet read are cancelled by CancelAll()   |
//| and by the destructor.                                            |
//|                                                                  |
//| Pacing, per kind of request (its path): one job of a kind at a    |
//| time (MOVU_ERR_BUSY), a minimum interval between starts, and      |
//| after a 429, a 5xx or no answer a back-off that doubles up to     |
//| MOVU_BACKOFF_MAX_MS (MOVU_ERR_TOO_SOON; WaitMs() says how long).  |
//| Identity: read from the terminal before every request, so it      |
//| follows a login or an account switch, unless SetIdentity() fixed  |
//| it. Strategy Tester: no DLL call unless AllowDllInTester(true);   |
//| CalendarDay() answers from the recorded days instead.             |
//+------------------------------------------------------------------+
class CMovuClient
  {
private:
   string            m_account;
   string            m_platform;
   string            m_broker;
   string            m_server;
   string            m_version;
   bool              m_fixed;          // identity set by the program
   uchar             m_buffer[];
   int               m_last;
   bool              m_cut;
   MovuJob           m_jobs[];
   MovuPace          m_pace[];
   int               m_min_interval;
   int               m_backoff_first;
   int               m_backoff_max;
   int               m_record;         // MOVU_RECORD_*: where fetched days are written
   int               m_replay;         // where the tester reads them
   int               m_clock_rule;     // MOVU_CLOCK_*: the tester's server clock on days not recorded
   int               m_clock_offset;
   bool              m_dll_in_tester;
   string            m_recorded;       // the last text written, so a day unchanged is not written again
   CMovuReplay       m_days;           // the tester's recorded days, as of its moment

   bool              Reserve(const int capacity);
   int               Capacity(void);
   int               CallSync(const int kind,const string arg,const long since,const int capacity);
   int               Sync(const int kind,const string arg,const long since,const bool repeatable,string &text);
   bool              Identity8(uchar &account[],uchar &platform[],uchar &broker[],uchar &server[],uchar &version[]);
   int               Pace(const string kind);
   int               Admit(const string kind);
   void              Outcome(const string kind,const int code);
   int               Started(const string kind,const string date,const int rc,const int id);
   int               JobIndex(const int id) const;
   void              Record(const string date,const string text);
   int               Utility(const int kind,const string input_text,string &text);

public:
                     CMovuClient(void);
                    ~CMovuClient(void);
   //--- identity sent with every request
   void              LoadIdentity(void);
   void              SetIdentity(const string account,const string platform,const string broker,
                                 const string server,const string version);
   string            Account(void)       const { return(m_account);  }
   string            Platform(void)      const { return(m_platform); }
   string            Broker(void)        const { return(m_broker);   }
   string            Server(void)        const { return(m_server);   }
   string            ClientVersion(void) const { return(m_version);  }
   //--- settings (shared by every program of the terminal)
   void              SetBaseUrl(const string url);
   void              SetBaseUrls(const string list);
   void              SetProductSecret(const string s);
   void              SetTerminalDataPath(const string p);
   void              UseTerminalDataPath(void) { SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH)); }
   //--- pacing, recorded days, the tester
   void              SetPacing(const int min_interval_ms,const int backoff_first_ms,const int backoff_max_ms);
   int               WaitMs(const string kind);
   void              SetRecording(const int where);
   void              SetTesterClock(const int clock_rule,const int fixed_offset_seconds);
   datetime          NowUtc(void);
   int               ReplayDay(const string date,MovuCalendarEvent &events[]);
   bool              RecordEvents(const string date,const MovuCalendarEvent &events[]);
   void              AllowDllInTester(const bool allow) { m_dll_in_tester=allow; }
   bool              DllBlocked(void) const { return(MQLInfoInteger(MQL_TESTER) && !m_dll_in_tester); }
   //--- synchronous requests: block until the service answers
   int               CalendarDay(const string date,string &text);
   int               CalendarMeta(const string date,string &text) { return(Sync(1,date,0,true,text)); }
   int               CalendarChanges(const string date,const long since,string &text) { return(Sync(2,date,since,true,text)); }
   int               VipStatus(string &text)                      { return(Sync(3,"",0,true,text)); }
   int               Heartbeat(const string payload,string &text) { return(Sync(4,payload,0,false,text)); }
   //--- background jobs
   int               StartCalendarDay(const string date);
   int               StartCalendarMeta(const string date);
   int               StartPing(void);
   int               StartRegister(void);
   int               StartVipStatus(void);
   int               StartRequest(const string path,const string query,const string method,const string body);
   int               Poll(const int id,string &text,int &http);
   int               Cancel(const int id);
   void              CancelAll(void);
   int               PendingJobs(void) const { return(ArraySize(m_jobs)); }
   bool              Running(const string kind) const;
   //--- utilities
   int               ProtectText(const string text,string &protected_text) { return(Utility(0,text,protected_text)); }
   int               UnprotectText(const string protected_text,string &text) { return(Utility(1,protected_text,text)); }
   int               OpenUrl(const string url);
   //--- outcome of the last call
   int               LastResult(void)  const { return(m_last); }
   bool              LastTextCut(void) const { return(m_cut);  }
  };

//+------------------------------------------------------------------+
CMovuClient::CMovuClient(void) : m_fixed(false),m_last(MOVU_OK),m_cut(false),
                                 m_min_interval(MOVU_MIN_INTERVAL_MS),m_backoff_first(MOVU_BACKOFF_FIRST_MS),
                                 m_backoff_max(MOVU_BACKOFF_MAX_MS),m_record(MOVU_RECORD_OFF),
                                 m_replay(MOVU_RECORD_COMMON),m_clock_rule(MOVU_CLOCK_US_DST),
                                 m_clock_offset(7200),m_dll_in_tester(false)
  {
   LoadIdentity();
   m_days.Init(m_replay,m_clock_rule,m_clock_offset);
  }

//+------------------------------------------------------------------+
//| Where fetched days are recorded live, and where the tester reads  |
//| them (the common folder when recording is off).                   |
//+------------------------------------------------------------------+
void CMovuClient::SetRecording(const int where)
  {
   m_record=where;
   m_replay=(where==MOVU_RECORD_OFF ? MOVU_RECORD_COMMON : where);
   m_days.Init(m_replay,m_clock_rule,m_clock_offset);
  }

//+------------------------------------------------------------------+
//| The tester's server clock on days without a recorded offset:      |
//| MOVU_CLOCK_FIXED (fixed_offset_seconds), MOVU_CLOCK_US_DST,        |
//| MOVU_CLOCK_EU_DST, or MOVU_CLOCK_RECORDED.                         |
//+------------------------------------------------------------------+
void CMovuClient::SetTesterClock(const int clock_rule,const int fixed_offset_seconds)
  {
   m_clock_rule=clock_rule;
   m_clock_offset=fixed_offset_seconds;
   m_days.Init(m_replay,m_clock_rule,m_clock_offset);
  }

//+------------------------------------------------------------------+
//| UTC now: the computer's clock live; in the tester the simulated   |
//| server time through that day's recorded offsets, else the rule.   |
//+------------------------------------------------------------------+
datetime CMovuClient::NowUtc(void)
  {
   if(MQLInfoInteger(MQL_TESTER))
      return(m_days.ServerToUtc(TimeCurrent()));
   return(TimeGMT());
  }

//+------------------------------------------------------------------+
//| Tester: a recorded day as observed by NowUtc(): MOVU_DAY_KNOWN or |
//| MOVU_DAY_UNKNOWN (not recorded, or not yet observed then).        |
//+------------------------------------------------------------------+
int CMovuClient::ReplayDay(const string date,MovuCalendarEvent &events[])
  {
   datetime day=0;
   if(!MovuParseTime(date+"T00:00:00Z",day))
     {
      ArrayResize(events,0);
      return(MOVU_DAY_UNKNOWN);
     }
   return(m_days.DayAsOf(day,NowUtc(),events));
  }

//+------------------------------------------------------------------+
//| Live, when recording: stores the day as this program holds it     |
//| now, with the moment and the server's offset.                     |
//+------------------------------------------------------------------+
bool CMovuClient::RecordEvents(const string date,const MovuCalendarEvent &events[])
  {
   if(m_record==MOVU_RECORD_OFF || MQLInfoInteger(MQL_TESTER))
      return(false);
   return(MovuRecordEvents(m_record,date,TimeGMT(),MovuServerOffset(),events));
  }

//+------------------------------------------------------------------+
CMovuClient::~CMovuClient(void)
  {
   CancelAll();
  }

//+------------------------------------------------------------------+
//| Account, broker and server of the terminal's current account,     |
//| read again before every request. Until the terminal has connected |
//| the login is 0: the account is then left empty and requests fail  |
//| with MOVU_ERR_NO_ACCOUNT rather than run under a wrong account.   |
//| Calling it drops an identity fixed by SetIdentity().              |
//+------------------------------------------------------------------+
void CMovuClient::LoadIdentity(void)
  {
   long login=AccountInfoInteger(ACCOUNT_LOGIN);
   m_fixed   =false;
   m_account =(login>0 ? IntegerToString(login) : "");
   m_platform="MT5";
   m_broker  =AccountInfoString(ACCOUNT_COMPANY);
   m_server  =AccountInfoString(ACCOUNT_SERVER);
   m_version =MOVU_CLIENT_VERSION;
  }

//+------------------------------------------------------------------+
void CMovuClient::SetIdentity(const string account,const string platform,const string broker,
                              const string server,const string version)
  {
   m_fixed   =true;
   m_account =account;
   m_platform=platform;
   m_broker  =broker;
   m_server  =server;
   m_version =version;
  }

//+------------------------------------------------------------------+
//| Settings go to the DLL, which the tester does not call unless     |
//| allowed.                                                          |
//+------------------------------------------------------------------+
void CMovuClient::SetBaseUrl(const string url)        { if(!DllBlocked()) Movu_SetBaseUrl(url);          }
void CMovuClient::SetBaseUrls(const string list)      { if(!DllBlocked()) Movu_SetBaseUrls(list);        }
void CMovuClient::SetProductSecret(const string s)    { if(!DllBlocked()) Movu_SetProductSecret(s);      }
void CMovuClient::SetTerminalDataPath(const string p) { if(!DllBlocked()) Movu_SetTerminalDataPath(p);   }

//+------------------------------------------------------------------+
void CMovuClient::SetPacing(const int min_interval_ms,const int backoff_first_ms,const int backoff_max_ms)
  {
   m_min_interval =(min_interval_ms>0 ? min_interval_ms : 0);
   m_backoff_first=(backoff_first_ms>0 ? backoff_first_ms : 0);
   m_backoff_max  =(backoff_max_ms>m_backoff_first ? backoff_max_ms : m_backoff_first);
  }

//+------------------------------------------------------------------+
//| The pacing entry of a kind, made on first use.                    |
//+------------------------------------------------------------------+
int CMovuClient::Pace(const string kind)
  {
   int n=ArraySize(m_pace);
   for(int i=0; i<n; i++)
      if(m_pace[i].kind==kind)
         return(i);
   if(ArrayResize(m_pace,n+1)!=n+1)
      return(-1);
   m_pace[n].kind=kind;
   m_pace[n].next=0;
   m_pace[n].failures=0;
   return(n);
  }

//+------------------------------------------------------------------+
//| Milliseconds until a request of this kind may start (0: now).     |
//+------------------------------------------------------------------+
int CMovuClient::WaitMs(const string kind)
  {
   int p=Pace(kind);
   ulong now=GetTickCount64();
   if(p<0 || m_pace[p].next<=now)
      return(0);
   ulong wait=m_pace[p].next-now;
   return(wait>(ulong)MOVU_BACKOFF_MAX_MS ? MOVU_BACKOFF_MAX_MS : (int)wait);
  }

//+------------------------------------------------------------------+
bool CMovuClient::Running(const string kind) const
  {
   int n=ArraySize(m_jobs);
   for(int i=0; i<n; i++)
      if(m_jobs[i].kind==kind)
         return(true);
   return(false);
  }

//+------------------------------------------------------------------+
//| May a request of this kind go out now? MOVU_OK and the interval   |
//| starts, or the reason it may not.                                 |
//+------------------------------------------------------------------+
int CMovuClient::Admit(const string kind)
  {
   m_cut=false;
   if(DllBlocked())
      return(m_last=MOVU_ERR_TESTER);
   if(Running(kind))
      return(m_last=MOVU_ERR_BUSY);
   int p=Pace(kind);
   if(p<0)
      return(m_last=MOVU_ERR_INTERNAL);
   ulong now=GetTickCount64();
   if(m_pace[p].next>now)
      return(m_last=MOVU_ERR_TOO_SOON);
   m_pace[p].next=now+m_min_interval;
   if(!m_fixed)
      LoadIdentity();
   string account=m_account;
   StringTrimLeft(account);
   StringTrimRight(account);
   if(account=="")
      return(m_last=MOVU_ERR_NO_ACCOUNT);
   return(MOVU_OK);
  }

//+------------------------------------------------------------------+
//| A finished request of a kind: back off after an overload or no    |
//| answer, doubling each time; anything else ends the back-off.      |
//+------------------------------------------------------------------+
void CMovuClient::Outcome(const string kind,const int code)
  {
   int p=Pace(kind);
   if(p<0)
      return;
   if(!MovuBacksOff(code))
     {
      m_pace[p].failures=0;
      return;
     }
   m_pace[p].failures++;
   long delay=m_backoff_first;
   for(int i=1; i<m_pace[p].failures && delay<m_backoff_max; i++)
      delay*=2;
   if(delay>m_backoff_max)
      delay=m_backoff_max;
   ulong until=GetTickCount64()+(ulong)delay;
   if(until>m_pace[p].next)
      m_pace[p].next=until;
  }

//+------------------------------------------------------------------+
bool CMovuClient::Reserve(const int capacity)
  {
   if(ArraySize(m_buffer)>=capacity)
      return(true);
   return(ArrayResize(m_buffer,capacity)==capacity);
  }

//+------------------------------------------------------------------+
//| Starting capacity: the largest buffer this object already holds.  |
//+------------------------------------------------------------------+
int CMovuClient::Capacity(void)
  {
   int size=ArraySize(m_buffer);
   if(size>MOVU_TEXT_MAX_BYTES)
      size=MOVU_TEXT_MAX_BYTES;
   return(size>MOVU_TEXT_INITIAL_BYTES ? size : MOVU_TEXT_INITIAL_BYTES);
  }

//+------------------------------------------------------------------+
int CMovuClient::CallSync(const int kind,const string arg,const long since,const int capacity)
  {
   switch(kind)
     {
      case 0: return(Movu_CalendarDayA(m_account,m_platform,m_broker,m_server,m_version,arg,m_buffer,capacity));
      case 1: return(Movu_CalendarMetaA(m_account,m_platform,m_broker,m_server,m_version,arg,m_buffer,capacity));
      case 2: return(Movu_CalendarChangesA(m_account,m_platform,m_broker,m_server,m_version,arg,since,m_buffer,capacity));
      case 3: return(Movu_VipStatusA(m_account,m_platform,m_broker,m_server,m_version,m_buffer,capacity));
     }
   return(Movu_HeartbeatA(m_account,m_platform,m_broker,m_server,m_version,arg,m_buffer,capacity));
  }

//+------------------------------------------------------------------+
//| One synchronous request. The library cuts a text at capacity-1    |
//| without notice, so a text that reaches that length may be cut:    |
//| a repeatable request (GET) is asked again with twice the buffer.  |
//| A heartbeat is sent once; LastTextCut() tells when it was cut.    |
//+------------------------------------------------------------------+
int CMovuClient::Sync(const int kind,const string arg,const long since,const bool repeatable,string &text)
  {
   text="";
   string kinds[]={MOVU_PATH_DAY,MOVU_PATH_META,MOVU_PATH_CHANGES,MOVU_PATH_VIP,MOVU_PATH_HEARTBEAT};
   int rc=Admit(kinds[kind]);
   if(rc!=MOVU_OK)
      return(rc);
   int capacity=Capacity();
   if(!Reserve(capacity))
      return(m_last=MOVU_ERR_INTERNAL);
   while(true)
     {
      m_buffer[0]=0;
      m_buffer[capacity-2]=0;
      rc=CallSync(kind,arg,since,capacity);
      bool full=(m_buffer[capacity-2]!=0);
      if(full && repeatable && capacity<=MOVU_TEXT_MAX_BYTES/2 && Reserve(capacity*2))
        {
         capacity*=2;
         continue;
        }
      text=CharArrayToString(m_buffer,0,-1,CP_UTF8);
      m_cut=full;
      m_last=rc;
      Outcome(kinds[kind],rc);
      return(rc);
     }
   return(m_last);
  }

//+------------------------------------------------------------------+
//| The calendar of a day. In the tester (DLL not allowed there) the  |
//| answer comes from the recorded days: MOVU_ERR_NOT_RECORDED when   |
//| the date was never recorded.                                      |
//+------------------------------------------------------------------+
int CMovuClient::CalendarDay(const string date,string &text)
  {
   text="";
   string day=date;
   StringTrimLeft(day);
   StringTrimRight(day);
   if(DllBlocked())
     {
      m_cut=false;
      MovuCalendarEvent events[];
      m_last=(ReplayDay(day,events)==MOVU_DAY_KNOWN ? MOVU_OK : MOVU_ERR_NOT_RECORDED);
      if(m_last==MOVU_OK)
        {
         text="{\"ok\":true,\"date\":"+MovuJsonString(day)+",\"events\":[";
         for(int i=0; i<ArraySize(events); i++)
            text+=(i>0 ? "," : "")+MovuEventJson(events[i]);
         text+="]}";
        }
      return(m_last);
     }
   int rc=Sync(0,day,0,true,text);
   if(rc==MOVU_OK && !m_cut)
      Record(day,text);
   return(rc);
  }

//+------------------------------------------------------------------+
//| Writes a fetched day when recording is on and it has changed.     |
//+------------------------------------------------------------------+
void CMovuClient::Record(const string date,const string text)
  {
   if(m_record==MOVU_RECORD_OFF || text==m_recorded || MQLInfoInteger(MQL_TESTER))
      return;
   if(MovuRecordObservation(m_record,date,TimeGMT(),MovuServerOffset(),text))
      m_recorded=text;
  }

//+------------------------------------------------------------------+
//| The identity as UTF-8 arrays.                                     |
//+------------------------------------------------------------------+
bool CMovuClient::Identity8(uchar &account[],uchar &platform[],uchar &broker[],uchar &server[],uchar &version[])
  {
   MovuUtf8(m_account,account);
   MovuUtf8(m_platform,platform);
   MovuUtf8(m_broker,broker);
   MovuUtf8(m_server,server);
   MovuUtf8(m_version,version);
   return(true);
  }

//+------------------------------------------------------------------+
int CMovuClient::Started(const string kind,const string date,const int rc,const int id)
  {
   m_last=rc;
   if(rc!=MOVU_OK)
     {
      Outcome(kind,rc);
      return(rc<0 ? rc : MOVU_ERR_INTERNAL);
     }
   int n=ArraySize(m_jobs);
   if(ArrayResize(m_jobs,n+1)==n+1)
     {
      m_jobs[n].id=id;
      m_jobs[n].kind=kind;
      m_jobs[n].date=date;
     }
   return(id);
  }

//+------------------------------------------------------------------+
int CMovuClient::StartCalendarDay(const string date)
  {
   int rc=Admit(MOVU_PATH_DAY);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[],d[];
   string day=date;
   StringTrimLeft(day);
   StringTrimRight(day);
   Identity8(a,p,b,s,v);
   MovuUtf8(day,d);
   int id=0;
   rc=Movu_StartCalendarDayA(a,p,b,s,v,d,id);
   return(Started(MOVU_PATH_DAY,day,rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartCalendarMeta(const string date)
  {
   int rc=Admit(MOVU_PATH_META);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[],d[];
   string day=date;
   StringTrimLeft(day);
   StringTrimRight(day);
   Identity8(a,p,b,s,v);
   MovuUtf8(day,d);
   int id=0;
   rc=Movu_StartCalendarMetaA(a,p,b,s,v,d,id);
   return(Started(MOVU_PATH_META,"",rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartPing(void)
  {
   int rc=Admit(MOVU_PATH_PING);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[];
   Identity8(a,p,b,s,v);
   int id=0;
   rc=Movu_StartPingA(a,p,b,s,v,id);
   return(Started(MOVU_PATH_PING,"",rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartRegister(void)
  {
   int rc=Admit(MOVU_PATH_REGISTER);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[];
   Identity8(a,p,b,s,v);
   int id=0;
   rc=Movu_StartRegisterA(a,p,b,s,v,id);
   return(Started(MOVU_PATH_REGISTER,"",rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartVipStatus(void)
  {
   int rc=Admit(MOVU_PATH_VIP);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[];
   Identity8(a,p,b,s,v);
   int id=0;
   rc=Movu_StartVipStatusA(a,p,b,s,v,id);
   return(Started(MOVU_PATH_VIP,"",rc,id));
  }

//+------------------------------------------------------------------+
//| Any service path in the background, e.g.                          |
//| StartRequest(MOVU_PATH_HEARTBEAT,"","POST",body). The query is    |
//| "key=value&key2=value2" (percent-encoded). The path is the kind   |
//| for the pacing.                                                   |
//+------------------------------------------------------------------+
int CMovuClient::StartRequest(const string path,const string query,const string method,const string body)
  {
   int rc=Admit(path);
   if(rc!=MOVU_OK)
      return(rc);
   uchar a[],p[],b[],s[],v[],pa[],qu[],me[],bo[];
   Identity8(a,p,b,s,v);
   MovuUtf8(path,pa);
   MovuUtf8(query,qu);
   MovuUtf8(method,me);
   MovuUtf8(body,bo);
   int id=0;
   rc=Movu_GetAsyncSignedA(a,p,b,s,v,pa,qu,me,bo,id);
   return(Started(path,"",rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::JobIndex(const int id) const
  {
   int n=ArraySize(m_jobs);
   for(int i=0; i<n; i++)
      if(m_jobs[i].id==id)
         return(i);
   return(-1);
  }

//+------------------------------------------------------------------+
//| Polls a job (of this object or any other id).                     |
//| Returns MOVU_JOB_RUNNING while the job runs: text and http are    |
//| empty and 0, call again later. Otherwise returns MOVU_JOB_SUCCEEDED|
//| or MOVU_JOB_FAILED with the whole text and the HTTP status, and   |
//| the job has been released (cancelled) in the library.             |
//| LastResult() is the job's result code; for an id the library does |
//| not know it is MOVU_ERR_NO_JOB and the state MOVU_JOB_FAILED.     |
//| A failed job ends as MOVU_JOB_FAILED even when it has no text.    |
//| (MOVU_JOB_RUNNING with LastResult() MOVU_ERR_INTERNAL: no memory  |
//| for the text; nothing was read, the job is kept.)                 |
//+------------------------------------------------------------------+
int CMovuClient::Poll(const int id,string &text,int &http)
  {
   text="";
   http=0;
   m_cut=false;
   if(DllBlocked())
     {
      m_last=MOVU_ERR_TESTER;
      return(MOVU_JOB_FAILED);
     }
   int capacity=Capacity();
   if(!Reserve(capacity))
     {
      m_last=MOVU_ERR_INTERNAL;
      return(MOVU_JOB_RUNNING);   // nothing read; the job stays, try again later
     }
   while(true)
     {
      int state=MOVU_JOB_FAILED;
      int status=0;
      m_buffer[0]=0;
      m_buffer[capacity-2]=0;
      int rc=Movu_PollA(id,state,status,m_buffer,capacity);
      m_last=rc;
      //--- anything else is finished, with or without a text
      if(state==MOVU_JOB_RUNNING && rc==MOVU_OK)
         return(MOVU_JOB_RUNNING);
      //--- finished: polling does not consume the job, so a text that
      //--- reached capacity-1 is read again with a larger buffer
      bool full=(m_buffer[capacity-2]!=0);
      if(full && capacity<=MOVU_TEXT_MAX_BYTES/2 && Reserve(capacity*2))
        {
         capacity*=2;
         continue;
        }
      text=CharArrayToString(m_buffer,0,-1,CP_UTF8);
      http=status;
      m_cut=full;
      Movu_Cancel(id);
      int j=JobIndex(id);
      if(j>=0)
        {
         Outcome(m_jobs[j].kind,rc);
         if(rc==MOVU_OK && state==MOVU_JOB_SUCCEEDED && !full && m_jobs[j].kind==MOVU_PATH_DAY)
            Record(m_jobs[j].date,text);
         m_jobs[j]=m_jobs[ArraySize(m_jobs)-1];
         ArrayResize(m_jobs,ArraySize(m_jobs)-1);
        }
      return(state==MOVU_JOB_SUCCEEDED ? MOVU_JOB_SUCCEEDED : MOVU_JOB_FAILED);
     }
   return(MOVU_JOB_FAILED);
  }

//+------------------------------------------------------------------+
//| Cancels a job in any state and releases it. A running request is  |
//| not interrupted; its outcome is dropped.                          |
//+------------------------------------------------------------------+
int CMovuClient::Cancel(const int id)
  {
   int j=JobIndex(id);
   if(j>=0)
     {
      m_jobs[j]=m_jobs[ArraySize(m_jobs)-1];
      ArrayResize(m_jobs,ArraySize(m_jobs)-1);
     }
   m_last=(DllBlocked() ? MOVU_ERR_TESTER : Movu_Cancel(id));
   return(m_last);
  }

//+------------------------------------------------------------------+
//| Cancels every job this object started and has not yet read.       |
//+------------------------------------------------------------------+
void CMovuClient::CancelAll(void)
  {
   int n=ArraySize(m_jobs);
   for(int i=0; i<n; i++)
      Movu_Cancel(m_jobs[i].id);
   ArrayResize(m_jobs,0);
  }

//+------------------------------------------------------------------+
int CMovuClient::OpenUrl(const string url)
  {
   m_last=(DllBlocked() ? MOVU_ERR_TESTER : Movu_OpenUrl(url));
   return(m_last);
  }

//+------------------------------------------------------------------+
//| Movu_ProtectTextW (kind 0) and Movu_UnprotectTextW (kind 1). The  |
//| copy is cut at capacity-1 like any other; a text that reaches it  |
//| is done again with a larger buffer.                               |
//+------------------------------------------------------------------+
int CMovuClient::Utility(const int kind,const string input_text,string &text)
  {
   text="";
   m_cut=false;
   if(DllBlocked())
      return(m_last=MOVU_ERR_TESTER);
   int capacity=4096;
   if(!Reserve(capacity))
     {
      m_last=MOVU_ERR_INTERNAL;
      return(m_last);
     }
   capacity=ArraySize(m_buffer);
   if(capacity>MOVU_TEXT_MAX_BYTES)
      capacity=MOVU_TEXT_MAX_BYTES;
   while(true)
     {
      m_buffer[0]=0;
      m_buffer[capacity-2]=0;
      int rc=(kind==0 ? Movu_ProtectTextW(input_text,m_buffer,capacity)
                      : Movu_UnprotectTextW(input_text,m_buffer,capacity));
      bool full=(m_buffer[capacity-2]!=0);
      if(rc==MOVU_OK && full && capacity<=MOVU_TEXT_MAX_BYTES/2 && Reserve(capacity*2))
        {
         capacity*=2;
         continue;
        }
      text=CharArrayToString(m_buffer,0,-1,CP_UTF8);
      m_cut=full;
      m_last=rc;
      return(rc);
     }
   return(m_last);
  }

//+------------------------------------------------------------------+
//| CMovuCalendarDay: one day's events, held and kept current.        |
//|                                                                  |
//| Start() fetches the whole day the first time and afterwards only  |
//| the changes since the latest revision it holds, merged in. Poll() |
//| from OnTimer until it is no longer MOVU_JOB_RUNNING. In the tester |
//| Start() takes the recorded day as observed by the tester's UTC    |
//| now (CMovuClient::NowUtc), so a backtest sees no value, revision  |
//| or event before it was seen live; a day not recorded, or not yet  |
//| observed, fails with MOVU_ERR_NOT_RECORDED. Live, with recording  |
//| on, the held day is recorded after each changes answer.           |
//+------------------------------------------------------------------+
class CMovuCalendarDay
  {
private:
   int               m_job;        // >0 job id; 0 none; -1 a tester answer waits for Poll()
   bool              m_changes;    // the job is a changes request
   bool              m_loaded;
   int               m_state;      // the tester's answer
   int               m_last;
   string            m_error;
   int               m_starts;

   bool              Take(const string text,const bool changes);

public:
   string            date;         // "YYYY-MM-DD" (UTC)
   MovuCalendarEvent events[];     // sorted by time, then id
   datetime          since;        // latest revision held

                     CMovuCalendarDay(void) : m_job(0),m_changes(false),m_loaded(false),m_state(MOVU_JOB_FAILED),
                                              m_last(MOVU_OK),m_starts(0),since(0) {}
   void              Reset(const string day);
   int               Start(CMovuClient &client);
   int               Poll(CMovuClient &client);
   void              Cancel(CMovuClient &client);
   bool              Loaded(void)     const { return(m_loaded); }
   bool              Busy(void)       const { return(m_job!=0); }
   string            Kind(void)       const { return(m_changes ? MOVU_PATH_CHANGES : MOVU_PATH_DAY); } // of the last Start()
   int               LastResult(void) const { return(m_last); }
   string            Error(void)      const { return(m_error); }
  };

//+------------------------------------------------------------------+
//| A new day: what was held is dropped.                              |
//+------------------------------------------------------------------+
void CMovuCalendarDay::Reset(const string day)
  {
   date=day;
   ArrayResize(events,0);
   since=0;
   m_starts=0;
   m_loaded=false;
   m_error="";
  }

//+------------------------------------------------------------------+
//| Starts the day's request (the day, or its changes once held).     |
//| Returns MOVU_OK, or a negative result code (nothing started).     |
//+------------------------------------------------------------------+
int CMovuCalendarDay::Start(CMovuClient &client)
  {
   if(m_job!=0)
      return(m_last=MOVU_ERR_BUSY);
   m_error="";
   if(client.DllBlocked())
     {
      bool known=(client.ReplayDay(date,events)==MOVU_DAY_KNOWN);
      m_last=(known ? MOVU_OK : MOVU_ERR_NOT_RECORDED);
      m_state=(known ? MOVU_JOB_SUCCEEDED : MOVU_JOB_FAILED);
      if(known)
        {
         m_loaded=true;
         since=MovuLatestUpdate(events);
        }
      else
         m_error=MovuResultText(m_last);
      m_job=-1;
      return(MOVU_OK);
     }
   //--- the whole day now and then, so a recording keeps up with the changes
   m_changes=(m_loaded && m_starts%MOVU_FULL_DAY_EVERY!=0);
   m_starts++;
   int id;
   if(m_changes)
      id=client.StartRequest(MOVU_PATH_CHANGES,"date="+date+"&since="+IntegerToString((long)since),"GET","");
   else
      id=client.StartCalendarDay(date);
   m_last=(id>0 ? MOVU_OK : id);
   if(id>0)
      m_job=id;
   return(m_last);
  }

//+------------------------------------------------------------------+
int CMovuCalendarDay::Poll(CMovuClient &client)
  {
   if(m_job==0)
      return(MOVU_JOB_FAILED);
   if(m_job<0)
     {
      m_job=0;
      return(m_state);
     }
   string text;
   int http=0;
   int state=client.Poll(m_job,text,http);
   if(state==MOVU_JOB_RUNNING)
      return(state);
   m_job=0;
   m_last=client.LastResult();
   if(state!=MOVU_JOB_SUCCEEDED)
     {
      m_error=MovuResultText(m_last)+(text!="" ? ": "+StringSubstr(text,0,200) : "");
      return(MOVU_JOB_FAILED);
     }
   if(!Take(text,m_changes))
      return(MOVU_JOB_FAILED);
   //--- a whole day was recorded by the client already
   if(m_changes)
      client.RecordEvents(date,events);
   return(MOVU_JOB_SUCCEEDED);
  }

//+------------------------------------------------------------------+
//| A day answer replaces what is held; a changes answer is merged.   |
//+------------------------------------------------------------------+
bool CMovuCalendarDay::Take(const string text,const bool changes)
  {
   MovuCalendarEvent got[];
   if(!MovuParseEvents(text,got,m_error))
     {
      m_last=MOVU_ERR_BAD_ANSWER;
      return(false);
     }
   if(changes)
      MovuMergeEvents(events,got);
   else
     {
      ArrayResize(events,0);
      MovuMergeEvents(events,got);
     }
   datetime latest=MovuLatestUpdate(events);
   if(latest>since)
      since=latest;
   m_loaded=true;
   return(true);
  }

//+------------------------------------------------------------------+
void CMovuCalendarDay::Cancel(CMovuClient &client)
  {
   if(m_job>0)
      client.Cancel(m_job);
   m_job=0;
  }

#endif // MOVU_MT5_MQH
//+------------------------------------------------------------------+
