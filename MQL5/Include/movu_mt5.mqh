//+------------------------------------------------------------------+
//|                                                   movu_mt5.mqh   |
//|        Import block and a thin wrapper for movu_mt5.dll (MQL5)    |
//+------------------------------------------------------------------+
/*
   movu_mt5.dll gives MQL5 programs the movu economic calendar and the
   client service: tokens, signed requests, failover across base URLs and
   background jobs, without blocking the terminal.

   Installing
   - Copy movu_mt5.dll into <data folder>\MQL5\Libraries and this file into
     <data folder>\MQL5\Include (File > Open Data Folder in the terminal).
   - Allow DLL imports: Tools > Options > Expert Advisors > "Allow DLL
     imports", and in each program's properties (Dependencies / Common tab).
     A program can check both with MovuDllsAllowed() below, which reads
     TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) and
     MQLInfoInteger(MQL_DLLS_ALLOWED).
   - DLL calls are refused on remote and cloud tester agents (MQL5 Cloud
     Network) and are not allowed in Market products. Local tester agents
     work when DLL imports are allowed for the test.

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
#define MOVU_CLIENT_VERSION     "movu-mql5/1.0"
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
//| The calendar date of a time as "YYYY-MM-DD".                      |
//+------------------------------------------------------------------+
string MovuDate(const datetime when)
  {
   MqlDateTime t;
   TimeToStruct(when,t);
   return(StringFormat("%04d-%02d-%02d",t.year,t.mon,t.day));
  }

//+------------------------------------------------------------------+
//| CMovuClient: the caller's identity, buffers and job ids.          |
//|                                                                  |
//| Synchronous methods return the library's result code and fill     |
//| text with the answer (or the failure text). Start methods return  |
//| the new job id (1 or more) or a negative result code. Poll returns |
//| a job state; the job's result code is LastResult().               |
//| Jobs started here and not yet read are cancelled by CancelAll()   |
//| and by the destructor.                                            |
//+------------------------------------------------------------------+
class CMovuClient
  {
private:
   string            m_account;
   string            m_platform;
   string            m_broker;
   string            m_server;
   string            m_version;
   uchar             m_buffer[];
   int               m_last;
   bool              m_cut;
   int               m_jobs[];

   bool              Reserve(const int capacity);
   int               Capacity(void);
   int               CallSync(const int kind,const string arg,const long since,const int capacity);
   int               Sync(const int kind,const string arg,const long since,const bool repeatable,string &text);
   bool              Identity8(uchar &account[],uchar &platform[],uchar &broker[],uchar &server[],uchar &version[]);
   int               Started(const int rc,const int id);
   void              Track(const int id);
   bool              Forget(const int id);
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
   void              SetBaseUrl(const string url)        { Movu_SetBaseUrl(url);          }
   void              SetBaseUrls(const string list)      { Movu_SetBaseUrls(list);        }
   void              SetProductSecret(const string s)    { Movu_SetProductSecret(s);      }
   void              SetTerminalDataPath(const string p) { Movu_SetTerminalDataPath(p);   }
   void              UseTerminalDataPath(void)           { Movu_SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH)); }
   //--- synchronous requests: block until the service answers
   int               CalendarDay(const string date,string &text)  { return(Sync(0,date,0,true,text)); }
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
   //--- utilities
   int               ProtectText(const string text,string &protected_text) { return(Utility(0,text,protected_text)); }
   int               UnprotectText(const string protected_text,string &text) { return(Utility(1,protected_text,text)); }
   int               OpenUrl(const string url) { m_last=Movu_OpenUrl(url); return(m_last); }
   //--- outcome of the last call
   int               LastResult(void)  const { return(m_last); }
   bool              LastTextCut(void) const { return(m_cut);  }
  };

//+------------------------------------------------------------------+
CMovuClient::CMovuClient(void) : m_last(MOVU_OK),m_cut(false)
  {
   LoadIdentity();
  }

//+------------------------------------------------------------------+
CMovuClient::~CMovuClient(void)
  {
   CancelAll();
  }

//+------------------------------------------------------------------+
//| Account, broker and server of the terminal's current account.     |
//| Until the terminal has connected the login is 0: the account is   |
//| then left empty and requests fail with MOVU_ERR_NO_ACCOUNT rather |
//| than run under a wrong account. Call again once connected.        |
//+------------------------------------------------------------------+
void CMovuClient::LoadIdentity(void)
  {
   long login=AccountInfoInteger(ACCOUNT_LOGIN);
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
   m_account =account;
   m_platform=platform;
   m_broker  =broker;
   m_server  =server;
   m_version =version;
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
   m_cut=false;
   int capacity=Capacity();
   if(!Reserve(capacity))
     {
      m_last=MOVU_ERR_INTERNAL;
      return(m_last);
     }
   while(true)
     {
      m_buffer[0]=0;
      m_buffer[capacity-2]=0;
      int rc=CallSync(kind,arg,since,capacity);
      bool full=(m_buffer[capacity-2]!=0);
      if(full && repeatable && capacity<=MOVU_TEXT_MAX_BYTES/2 && Reserve(capacity*2))
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
//| The identity as UTF-8 arrays; false when there is no account, so  |
//| that no job is started for a request that cannot succeed.         |
//+------------------------------------------------------------------+
bool CMovuClient::Identity8(uchar &account[],uchar &platform[],uchar &broker[],uchar &server[],uchar &version[])
  {
   MovuUtf8(m_account,account);
   MovuUtf8(m_platform,platform);
   MovuUtf8(m_broker,broker);
   MovuUtf8(m_server,server);
   MovuUtf8(m_version,version);
   string trimmed=m_account;
   StringTrimLeft(trimmed);
   StringTrimRight(trimmed);
   return(trimmed!="");
  }

//+------------------------------------------------------------------+
int CMovuClient::Started(const int rc,const int id)
  {
   m_last=rc;
   m_cut=false;
   if(rc!=MOVU_OK)
      return(rc<0 ? rc : MOVU_ERR_INTERNAL);
   Track(id);
   return(id);
  }

//+------------------------------------------------------------------+
int CMovuClient::StartCalendarDay(const string date)
  {
   uchar a[],p[],b[],s[],v[],d[];
   string day=date;
   StringTrimLeft(day);
   StringTrimRight(day);
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   MovuUtf8(day,d);
   int id=0;
   int rc=Movu_StartCalendarDayA(a,p,b,s,v,d,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartCalendarMeta(const string date)
  {
   uchar a[],p[],b[],s[],v[],d[];
   string day=date;
   StringTrimLeft(day);
   StringTrimRight(day);
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   MovuUtf8(day,d);
   int id=0;
   int rc=Movu_StartCalendarMetaA(a,p,b,s,v,d,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartPing(void)
  {
   uchar a[],p[],b[],s[],v[];
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   int id=0;
   int rc=Movu_StartPingA(a,p,b,s,v,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartRegister(void)
  {
   uchar a[],p[],b[],s[],v[];
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   int id=0;
   int rc=Movu_StartRegisterA(a,p,b,s,v,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
int CMovuClient::StartVipStatus(void)
  {
   uchar a[],p[],b[],s[],v[];
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   int id=0;
   int rc=Movu_StartVipStatusA(a,p,b,s,v,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
//| Any service path in the background, e.g.                          |
//| StartRequest("/v1/client/heartbeat.php","","POST","{}").          |
//| The query is "key=value&key2=value2" (percent-encoded).           |
//+------------------------------------------------------------------+
int CMovuClient::StartRequest(const string path,const string query,const string method,const string body)
  {
   uchar a[],p[],b[],s[],v[],pa[],qu[],me[],bo[];
   if(!Identity8(a,p,b,s,v))
      return(Started(MOVU_ERR_NO_ACCOUNT,0));
   MovuUtf8(path,pa);
   MovuUtf8(query,qu);
   MovuUtf8(method,me);
   MovuUtf8(body,bo);
   int id=0;
   int rc=Movu_GetAsyncSignedA(a,p,b,s,v,pa,qu,me,bo,id);
   return(Started(rc,id));
  }

//+------------------------------------------------------------------+
//| Polls a job (of this object or any other id).                     |
//| Returns MOVU_JOB_RUNNING while the job runs: text and http are    |
//| empty and 0, call again later. Otherwise returns MOVU_JOB_SUCCEEDED|
//| or MOVU_JOB_FAILED with the whole text and the HTTP status, and   |
//| the job has been released (cancelled) in the library.             |
//| LastResult() is the job's result code; for an id the library does |
//| not know it is MOVU_ERR_NO_JOB and the state MOVU_JOB_FAILED.     |
//| (MOVU_JOB_RUNNING with LastResult() MOVU_ERR_INTERNAL: the poll    |
//| could not be made; the job is kept.)                              |
//+------------------------------------------------------------------+
int CMovuClient::Poll(const int id,string &text,int &http)
  {
   text="";
   http=0;
   m_cut=false;
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
      if(state==MOVU_JOB_RUNNING && rc==MOVU_OK)
         return(MOVU_JOB_RUNNING);
      //--- a finished job always has a text; none with -99 means the poll
      //--- itself failed: keep the job and try again later
      if(rc==MOVU_ERR_INTERNAL && m_buffer[0]==0)
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
      Forget(id);
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
   Forget(id);
   m_last=Movu_Cancel(id);
   return(m_last);
  }

//+------------------------------------------------------------------+
//| Cancels every job this object started and has not yet read.       |
//+------------------------------------------------------------------+
void CMovuClient::CancelAll(void)
  {
   int n=ArraySize(m_jobs);
   for(int i=0; i<n; i++)
      Movu_Cancel(m_jobs[i]);
   ArrayResize(m_jobs,0);
  }

//+------------------------------------------------------------------+
void CMovuClient::Track(const int id)
  {
   int n=ArraySize(m_jobs);
   if(ArrayResize(m_jobs,n+1)==n+1)
      m_jobs[n]=id;
  }

//+------------------------------------------------------------------+
bool CMovuClient::Forget(const int id)
  {
   int n=ArraySize(m_jobs);
   for(int i=0; i<n; i++)
     {
      if(m_jobs[i]!=id)
         continue;
      m_jobs[i]=m_jobs[n-1];
      ArrayResize(m_jobs,n-1);
      return(true);
     }
   return(false);
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

#endif // MOVU_MT5_MQH
//+------------------------------------------------------------------+
